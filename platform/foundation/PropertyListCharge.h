#pragma once
// What reading a property list costs, charged while the readers build it:
// every value they make (a dictionary's key too, a shared object once for
// each place it is copied to), its nesting, and the bytes the writer would
// give it in its XML form. A reader stops at the first charge past a bound,
// before it builds the value charged, so what a read holds never passes what
// the writer could write back.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

namespace foundation {

struct PropertyListRefusal;

// The bounds of one property list. Tests make them small for as long as a
// PropertyListBoundsForTesting lives, so that a row at a bound builds a few
// values instead of a million; the nesting bound is kMaximumNestingDepth.
struct PropertyListBounds {
    uint64_t values;
    uint64_t bytes;
};
PropertyListBounds propertyListBounds();

// While one lives, what this thread reads and writes as property lists is
// held to `bounds` as well: propertyListBounds() answers the smaller of these
// and the bounds above. Nothing when there are none.
class PropertyListBoundsScope {
public:
    explicit PropertyListBoundsScope(const std::optional<PropertyListBounds>& bounds);
    ~PropertyListBoundsScope();
    PropertyListBoundsScope(const PropertyListBoundsScope&) = delete;
    PropertyListBoundsScope& operator=(const PropertyListBoundsScope&) = delete;

private:
    std::optional<PropertyListBounds> previous_;
};
// The bounds this thread's scope sets, if any.
std::optional<PropertyListBounds> propertyListScopeBounds();

class PropertyListBoundsForTesting {
public:
    explicit PropertyListBoundsForTesting(PropertyListBounds bounds);
    ~PropertyListBoundsForTesting();
    PropertyListBoundsForTesting(const PropertyListBoundsForTesting&) = delete;
    PropertyListBoundsForTesting& operator=(const PropertyListBoundsForTesting&) = delete;

private:
    PropertyListBounds previous_;
};

// One entry of a dictionary as a reader or writer sizes it, for whoever
// decides what of a file stays: its key and value one level deep, as the
// writer writes them. `sized` is false for an entry whose size is not known
// (damaged, cut short, or past the bounds on its own). `type` is the type
// of its value, Absent where the reader cannot tell.
struct PropertyListEntry {
    std::string key;
    PropertyListBounds size{0, 0};
    bool sized = true;
    Value::Type type = Value::Type::Absent;
};

// What a salvage keeps of a dictionary's entries (numbered as the salvage
// found them), in the order it takes them: each whole, or with `leading`
// the leading items of its list that fit in `room`. Given the entries and
// the room a salvage has; entries it does not name are left out. Without
// a plan, a salvage takes every entry in the order of the file.
struct PropertyListKeepStep {
    size_t entry;
    bool leading = false;
    PropertyListBounds room{0, 0};
};
struct PropertyListSalvagePlan {
    std::function<std::vector<PropertyListKeepStep>(const std::vector<PropertyListEntry>&, PropertyListBounds room)>
        choose;
    // Where a key stands in the order of what stays, 0 first, given the
    // type of its value (Absent where the salvage has not looked). A salvage
    // that cannot reach every entry (its work is bounded, a file too large
    // is read in part) reaches the entries that stand first before the
    // rest, wherever they are within kPropertyListSalvageReach times its
    // bounds (the entries of a binary file as values, the bytes of an XML
    // one past the part read). A key of more than kPropertyListKeyPeekBytes
    // bytes is given as its first ones. A key met again stands last.
    std::function<int(std::string_view key, Value::Type type)> standing;
    // The most the entry under a key may hold as the writer writes it,
    // its key included: a list that keeps its leading items keeps them
    // within it. None: what is left.
    std::function<PropertyListBounds(std::string_view key)> entryBound;

    explicit operator bool() const { return static_cast<bool>(choose); }
};
inline constexpr uint64_t kPropertyListSalvageReach = 16;
inline constexpr size_t kPropertyListKeyPeekBytes = 256;

// The lines the writer gives a value `depth` levels deep (each line begins
// with one tab per level): exact for every value the writer writes.
namespace plistxml {
// The file around the root value: declaration, DOCTYPE, <plist> and </plist>.
inline constexpr std::string_view kFileHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
inline constexpr std::string_view kFileTail = "</plist>\n";
uint64_t fileBytes();
// The writer's text of a real, in `text`, and its length: 17 significant
// digits, "0.0" for either zero, "+infinity", "-infinity" and "nan".
size_t realText(double value, char (&text)[40]);
uint64_t stringBytes(uint64_t depth, uint64_t escapedLength);
uint64_t keyBytes(uint64_t depth, uint64_t escapedLength);
uint64_t dataBytes(uint64_t depth, uint64_t length);
uint64_t containerBytes(uint64_t depth, bool empty, bool dictionary);
// Booleans, integers, reals and dates; strings, data and containers are
// charged through the functions above.
uint64_t scalarBytes(uint64_t depth, const Value& value);
// The length of a text once escaped as the writer escapes it.
uint64_t escapedLength(std::string_view text);
}  // namespace plistxml

// The date a reader builds of a time `since2001` seconds after 2001-01-01
// 00:00 UTC, as seconds since 1970: whole seconds (the XML form has no
// fraction) within what the writer writes, 32-bit seconds since 2001 less
// the least (1932-12-13T20:45:53Z .. 2069-01-19T03:14:07Z). A time past
// either end is held at that end, one that is not a number at the first, so
// that every date read is written back as it was read.
double propertyListDate(double since2001);

class PropertyListCharge {
public:
    // Fills `refusal` (never null) when a charge passes a bound.
    explicit PropertyListCharge(PropertyListRefusal* refusal);
    PropertyListCharge(PropertyListRefusal* refusal, PropertyListBounds bounds);
    // A charge that begins where `other` stands; what it takes is its own.
    PropertyListCharge(const PropertyListCharge& other)
        : refusal_(other.refusal_), bounds_(other.bounds_), values_(other.values_), bytes_(other.bytes_),
          countingOnly_(other.countingOnly_) {}
    PropertyListCharge& operator=(const PropertyListCharge&) = delete;
    // Adds what it took to the thread's counts (propertyListReadCountForTesting).
    ~PropertyListCharge();

    // One value (or key) of `bytes` encoded bytes. False past a bound.
    bool take(uint64_t values, uint64_t bytes);
    // Whether a list or dictionary may open `depth` levels deep (the root
    // is 0); false, refused as past the bounds, at the nesting bound.
    bool mayNest(uint64_t depth);

    uint64_t values() const { return values_; }
    uint64_t bytes() const { return bytes_; }
    // What may still be taken, and whether `values` and `bytes` fit in it:
    // nothing is taken; false, refused as take refuses, when they do not.
    PropertyListBounds left() const;
    bool mayTake(uint64_t values, uint64_t bytes);
    // A charge for a walk that only counts (a reader's first pass): what it
    // takes is not counted as built.
    void setCountingOnly() { countingOnly_ = true; }
    // What is left of the bounds, and a charge that begins where another
    // stands (a salvage tries an entry and keeps the charge only when it fits).
    void restore(uint64_t values, uint64_t bytes) {
        values_ = values;
        bytes_ = bytes;
    }

private:
    bool refuseIfPast();

    PropertyListRefusal* refusal_;
    PropertyListBounds bounds_;
    uint64_t values_ = 0;
    uint64_t bytes_ = 0;
    bool countingOnly_ = false;
    // What this charge took, given back or not.
    PropertyListBounds taken_{0, 0};
};

// What the readers of the calling thread have charged since it began: the
// values they built (taken by a charge that builds) and the bytes they
// walked (taken by any charge). Tests read the difference across one read
// to see that a file past the bounds is walked, not built, and that a
// salvage walks each shared object once.
// `textBytesScanned` counts the bytes of text (references included) the XML
// reader looked at while decoding it: once each, however many references.
struct PropertyListReadCount {
    uint64_t valuesBuilt = 0;
    uint64_t bytesWalked = 0;
    uint64_t textBytesScanned = 0;
};
PropertyListReadCount propertyListReadCountForTesting();
void propertyListNoteTextScanned(uint64_t bytes);

}  // namespace foundation
