#pragma once

// The mark of a salvage beside a database file ("<file>.salvage"): the copies
// set aside whose rows are still to be copied into the file, in the order
// they are to be read, and how far the first one's copy has come. A kill at
// any moment leaves the mark before a change or the one after it.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

class MSRSalvageMark {
  public:
    // A mark is a few file names and a place; one past this is read only
    // this far (the names cut off are copies read no more).
    static constexpr size_t kMaxBytes = 64 * 1024;

    // File names in the database's folder, the first read first.
    std::vector<std::string> copies;
    // The table the first copy's salvage goes on with (empty: from the
    // first) and the rowid it goes on from.
    std::string table;
    int64_t from = std::numeric_limits<int64_t>::min();

    // The mark at `path`; nothing when there is none or it names no copy.
    static std::optional<MSRSalvageMark> read(const std::string& path);
    // Replaces the mark at `path` whole: the new one is written, flushed to
    // the disk and closed without error before it takes the old one's place.
    // False, with the cause in `failure`, when any of that failed: the old
    // mark then stays as it was, or, when only the flush of the folder after
    // the rename failed, the new one stands without being sure to last.
    bool write(const std::string& path, std::string* failure = nullptr) const;

    // Adds `copy` at the end unless the mark names it already.
    void append(const std::string& copy);
    // Whether the mark names `copy`.
    bool names(const std::string& copy) const;
    // Leaves out the first copy: the next one is read from its first row.
    void dropFirst();
    // Leaves out the copies not in `folder`: a kill came before the file
    // moved, or the copy went; nothing was taken from them.
    void forgetMissingCopies(const std::string& folder);
};
