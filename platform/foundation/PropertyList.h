#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace foundation {

// Property lists through libplist.
//
// Writing gives the XML form; reals are written with 17 significant digits so
// every double reads back bit for bit, dates to the whole second (the XML date
// form has no fraction). Absent and null have no property-list form: a value
// holding either, at any depth, is refused.
std::optional<std::string> propertyListXml(const Value& value);

// Reads the XML or the binary form. Nothing when the bytes are not a complete
// property list (truncated, garbage, empty).
std::optional<Value> parsePropertyList(std::string_view bytes);

// What can still be read of an XML property list whose root is a dictionary
// and that parsePropertyList refuses (cut short, or damaged inside): each
// entry whose value reads on its own, and of a list value cut short the items
// that came whole. Empty when nothing can be read.
Value::Dictionary salvagePropertyListDictionary(std::string_view xml);

}  // namespace foundation
