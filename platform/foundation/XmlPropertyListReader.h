#pragma once

#include <optional>
#include <string_view>

#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/Value.h"

namespace foundation {

// Reads the XML form of a property list in one pass, charging `charge` for
// every value before the next is read, so that a file past a bound stops
// where it passes it. Markup is skipped as an XML parser skips it (quotes
// inside a DOCTYPE or a tag followed, a comment, processing instruction or
// CDATA section without its end refused) and character references decode in
// time linear in their length. Nothing, with `refusal` filled (never null),
// when the text is not a property list or passes a bound.
std::optional<Value> readXmlPropertyList(std::string_view xml, PropertyListCharge& charge,
                                         PropertyListRefusal* refusal);

}  // namespace foundation
