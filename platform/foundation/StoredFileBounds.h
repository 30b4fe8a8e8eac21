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
#include "platform/foundation/Value.h"

namespace foundation {

// The most that the files read at one start may hold together: 393,216
// values and 24 MiB of XML (the application's preferences 262,144 and
// 16 MiB, six files of the engine 8,192 and 1 MiB each, and a margin).
constexpr PropertyListBounds kStartPropertyListBudget{uint64_t{3} << 17, uint64_t{24} << 20};

// The bound of an entry holding one scalar (a flag, a counter, a time) and
// one holding a short text (an identifier, a version), its key included.
inline constexpr PropertyListBounds kStoredScalarBound{2, 1024};
inline constexpr PropertyListBounds kStoredTextBound{2, 16 << 10};

// What Calvaro writes under one key of a file: the type of its value and
// the most its entry may hold. A value under the key stands as what Calvaro
// wrote (the user's or the owner's) only when it has that type and fits
// that bound; anything else there (another type, past its bound, damaged,
// cut short, or the key met a second time) stands as a key the owner does
// not write, and gives way first.
struct StoredKey {
    // A key the owner writes, of any type, within the file's bound.
    StoredKey(std::string name) : key(std::move(name)) {}  // NOLINT: a key alone names it
    StoredKey(const char* name) : key(name) {}             // NOLINT
    StoredKey(std::string name, Value::Type valueType, PropertyListBounds valueBound,
              Value::Type itemType = Value::Type::Absent)
        : key(std::move(name)), type(valueType), bound(valueBound), items(itemType) {}

    // The key; one ending in '*' names a family, every key that begins with
    // what precedes it.
    std::string key;
    // The type of its value; Absent: any (a family of several kinds).
    Value::Type type = Value::Type::Absent;
    // The most its entry may hold, the key and its value one level deep as
    // the writer writes them; none: the file's bound.
    std::optional<PropertyListBounds> bound;
    // Of a list, the type of every item; Absent: any.
    Value::Type items = Value::Type::Absent;
};

struct StoredFileBound {
    PropertyListBounds bounds;
    // The keys the owner writes, each with its type and bound. Empty: every
    // key is the owner's, of any type, within the file's bound.
    std::vector<StoredKey> keys;
    // The user's values among them (exact keys), what stays first and
    // gives way last, in that order. A list among them past its bound or
    // damaged inside keeps its leading items within its own bound (a history
    // stored newest first).
    std::vector<std::string> userKeys = {};
    // The most a family of `keys` may hold, its keys and values one level
    // deep; a family without a share may take the whole bound.
    std::vector<std::pair<std::string, PropertyListBounds>> shares = {};

    bool knows(std::string_view key) const;
    // What the owner writes under `key`: its entry in `keys`, or none.
    const StoredKey* storedKey(std::string_view key) const;
    // Where a key stands in the order: 0 the user's, 1 the owner's, 2 neither.
    int standing(std::string_view key) const;
    // Where an entry stands once its value is known: as its key stands when
    // the value has the type and fits the bound the table states for it,
    // else 2 (`size` is none when it could not be sized: damaged or cut).
    int standing(std::string_view key, Value::Type type, std::optional<PropertyListBounds> size) const;
    // The same for a value in hand (its items' type checked too).
    int standing(std::string_view key, const Value& value) const;
    // The bound of the entry under `key`: its own, else the file's.
    PropertyListBounds entryBound(std::string_view key) const;
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
// Every stated bound by its name, in the order of the names: the table the
// readers, the salvage, the room for a change and the data-root fuzzer read.
std::vector<std::pair<std::string, StoredFileBound>> storedFileBounds();
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
