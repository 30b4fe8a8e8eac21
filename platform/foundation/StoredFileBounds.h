#pragma once
// What one property-list file of the data root may hold: what Calvaro
// itself writes there, with a margin stated by the file's owner beside its
// bound, instead of what the readers can take. The application states every
// file it reads at start before the start reads any, and their bounds add up
// to no more than one budget for the start (kStartPropertyListBudget), so
// that a data root of files each at its bound still starts small.
//
// One order decides what stays wherever a file passes its bound (a read
// that salvages, a change that makes room): the user's values first, in the
// order the owner names them, then the owner's own keys, each family of them
// within its stated share, then keys the owner does not write. Within each,
// what gives way goes largest first. The bounds decide from the sizes the
// readers and writers hand them; they read nothing themselves.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/PropertyListCharge.h"

namespace foundation {

// The most that the files read at one start may hold together: 393,216
// values and 24 MiB of XML (the application's preferences 262,144 and
// 16 MiB, six files of the engine 8,192 and 1 MiB each, and a margin).
constexpr PropertyListBounds kStartPropertyListBudget{uint64_t{3} << 17, uint64_t{24} << 20};

struct StoredFileBound {
    PropertyListBounds bounds;
    // The keys the owner writes; a key ending in '*' names a family, every
    // key that begins with what precedes it. Empty: every key is the owner's.
    std::vector<std::string> keys;
    // The user's values among them (exact keys), what stays first and
    // gives way last, in that order. A list among them that cannot stay
    // whole keeps its leading items (a history stored newest first).
    std::vector<std::string> userKeys = {};
    // The most a family of `keys` may hold, its keys and values one level
    // deep; a family without a share may take the whole bound.
    std::vector<std::pair<std::string, PropertyListBounds>> shares = {};

    bool knows(std::string_view key) const;
    // Where a key stands in the order: 0 the user's, 1 the owner's, 2 neither.
    int standing(std::string_view key) const;
    // The family with a share that `key` belongs to, if any (its index in `shares`).
    std::optional<size_t> sharedFamily(std::string_view key) const;
};

// The bound of a file named by its preference domain, or, for a file
// elsewhere, by its file name without ".plist". Stated once, before the
// first read of the file; a file without one is read within the
// property-list bounds.
void setStoredFileBound(const std::string& name, StoredFileBound bound);
// The name that states the standard domain's bound (its domain is the main
// bundle's identifier, known only once the bundle is).
inline constexpr const char* kStandardDomainBoundName = "";
std::optional<StoredFileBound> storedFileBound(const std::string& name);
// Forgets every stated bound (tests).
void resetStoredFileBounds();

// What stays of a file's entries (as its readers or writer size them) within `room` (what the file may hold
// besides its root), in the order they are taken: each whole, or, for the
// first of the user's values that cannot stay whole, as much of it as
// `partRoom` leaves (its leading items). Every other entry gives way, listed
// in `giving` the largest first.
struct StoredFileChoice {
    std::vector<size_t> kept;
    std::optional<size_t> part;
    PropertyListBounds partRoom{0, 0};
    std::vector<size_t> giving;
};
StoredFileChoice chooseStoredFileEntries(const std::vector<PropertyListEntry>& entries, PropertyListBounds room,
                                         const StoredFileBound& bound);

// While one lives, what this thread reads and writes as property lists is
// held to the file's bound as well. Nothing when there is no bound.
class StoredFileScope {
public:
    explicit StoredFileScope(const std::optional<StoredFileBound>& bound)
        : scope_(bound ? std::optional<PropertyListBounds>(bound->bounds) : std::nullopt) {}

private:
    PropertyListBoundsScope scope_;
};

}  // namespace foundation
