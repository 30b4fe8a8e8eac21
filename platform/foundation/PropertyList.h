#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/Value.h"

namespace foundation {

// What one property list of ours may hold, in either form: the readers
// charge what they build and refuse more (PropertyListCharge), and the
// writer never writes more, so that a file written here always reads back
// and a file read here can always be written back. Values count every
// element the reader builds, dictionary keys included (a dictionary of n
// entries is 1 + 2n), a shared binary object once per copy; bytes count the
// XML form the writer gives what is read. At the values bound a file of
// small values costs some 90 MiB to read.
constexpr size_t kMaximumPropertyListBytes = FileSystem::kMaxReadBytes;
constexpr uint64_t kMaximumPropertyListValues = uint64_t{1} << 20;

// Why a property list was not read or not written: past the bounds above
// (bytes, values, nesting) or, when `pastBounds` is false, damaged or without
// a property-list form.
struct PropertyListRefusal {
    bool pastBounds = false;
    std::string why;
    // Of a read that succeeded, the values it passed over: damaged, or
    // nested past the bound, each costing the entry or item that held it.
    uint64_t passedOver = 0;
};

// The values and (an upper bound of) the bytes of a value's XML form, nested
// `depth` levels deep in its file (at depth 0, the whole file), for whoever
// keeps a part of a file within a share of the bounds.
struct PropertyListSize {
    uint64_t values = 0;
    uint64_t bytes = 0;
};
PropertyListSize propertyListSize(const Value& value, uint64_t depth = 0);

// Property lists: read by readers of our own (XmlPropertyListReader,
// BinaryPropertyListReader) that charge what they build, written in the XML
// form that libplist writes.
//
// Writing gives the XML form; reals are written with 17 significant digits so
// every double reads back bit for bit, dates to the whole second (the XML date
// form has no fraction). Absent and null have no property-list form: a value
// holding either, at any depth, is refused, and so is a value whose XML form
// the reader would refuse.
std::optional<std::string> propertyListXml(const Value& value, PropertyListRefusal* refusal = nullptr);
// The same form as libplist writes it, which propertyListXml gives byte for
// byte in one buffer of the size charged (it leaves to libplist only a text
// holding a NUL, which libplist ends there; no reader of ours builds one).
std::optional<std::string> propertyListXmlThroughLibrary(const Value& value, PropertyListRefusal* refusal = nullptr);

// Reads the XML or the binary form. Nothing when the bytes are not a complete
// property list (truncated, garbage, empty) or pass the bounds, which are
// charged in a walk of the file before anything is built.
std::optional<Value> parsePropertyList(std::string_view bytes, PropertyListRefusal* refusal = nullptr);

// What can still be read of a property list (XML or binary) whose root is a
// dictionary and that parsePropertyList refuses (cut short, damaged inside,
// or past the bounds): each entry whose value reads on its own, and of a
// list value that is cut short, damaged or too large the leading items that
// came whole. What is kept stays within half of each bound as the writer
// writes it, and what is kept of one such list within a sixteenth (the
// newest records of a history stored newest first). Empty when nothing can
// be read.
constexpr PropertyListSize kSalvagedListBound{kMaximumPropertyListValues / 16, kMaximumPropertyListBytes / 16};
// With a `plan`, the salvage sizes every entry first and keeps those the
// plan names, in its order (PropertyListSalvagePlan).
Value::Dictionary salvagePropertyListDictionary(std::string_view xml, const PropertyListSalvagePlan& plan = {});
// The same for a file too large to read whole: a binary file through its
// trailer and offset table at its end, reading only the objects the salvage
// reaches; any other from its first bytes, as much as the reader takes.
Value::Dictionary salvagePropertyListFile(const std::filesystem::path& file, const PropertyListSalvagePlan& plan = {});

}  // namespace foundation
