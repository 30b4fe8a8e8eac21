#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// Parses a localized string table: lines of `"key" = "value";` with C and C++
// comments between them (the translators' notes). Escapes \" \\ \n \t and
// \UXXXX are understood. Returns nothing when the text is malformed.
std::optional<std::map<std::string, std::string>> parseStringsFile(std::string_view text);

}  // namespace foundation
