#pragma once
// What one property-list file of the data root may hold: what Calvaro
// itself writes there, with a margin stated by the file's owner beside its
// bound, instead of what the readers can take. The application states every
// file it reads at start before the start reads any, and their bounds add up
// to no more than one budget for the start (kStartPropertyListBudget), so
// that a data root of files each at its bound still starts small.
//
// A file past its bound is read as past the property-list bounds (set aside,
// and what fits salvaged). Within it, a change the bound would refuse first
// makes room: values under keys the owner does not write (unknown content)
// give way, the largest first, kept aside in a file of their own, before a
// change of the user's is refused.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/Value.h"

namespace foundation {

// The most that the files read at one start may hold together: 393,216
// values and 24 MiB of XML (the application's preferences 262,144 and
// 16 MiB, six files of the engine 8,192 and 1 MiB each, and a margin).
constexpr PropertyListBounds kStartPropertyListBudget{uint64_t{3} << 17, uint64_t{24} << 20};

struct StoredFileBound {
    PropertyListBounds bounds;
    // The keys the owner writes; a key ending in '*' names every key that
    // begins with what precedes it. Empty: every key is the owner's.
    std::vector<std::string> keys;

    bool knows(const std::string& key) const;
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

// The keys of `values` that must give way, the largest value first, for
// the dictionary to fit its file's bound: keys `bound` does not know, other
// than `changed`. Empty when nothing needs to, or when they cannot make the
// room (or the owner names no keys).
std::vector<std::string> storedFileKeysToGiveWay(const Value::Dictionary& values, const StoredFileBound& bound,
                                                 const std::string& changed = {});

// While one lives, what this thread reads and writes as property lists is
// held to `bounds` as well (propertyListBounds() answers the smaller of
// these and the property-list bounds). Nothing when there is no bound.
class StoredFileScope {
public:
    explicit StoredFileScope(const std::optional<StoredFileBound>& bound);
    ~StoredFileScope();
    StoredFileScope(const StoredFileScope&) = delete;
    StoredFileScope& operator=(const StoredFileScope&) = delete;

private:
    std::optional<PropertyListBounds> previous_;
};

// The bounds this thread's scope sets, if any.
std::optional<PropertyListBounds> storedFileScopeBounds();

}  // namespace foundation
