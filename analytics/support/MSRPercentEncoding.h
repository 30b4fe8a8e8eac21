#pragma once

#include <string>
#include <string_view>

// `text` with every byte written as %XX (upper-case hex) but RFC 3986's
// unreserved characters (letters, digits, "-._~") and the ones in `keep`.
std::string MSRPercentEncoded(std::string_view text, std::string_view keep = "");
