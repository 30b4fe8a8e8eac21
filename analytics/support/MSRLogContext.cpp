#include "analytics/support/MSRLogContext.h"

#include <charconv>
#include <cmath>

#include "platform/foundation/Text.h"

namespace {

// The shortest text that reads back as the same double, as the platform's
// numbers describe themselves ("0.1", "10", "1e+20"): fixed notation unless
// the exponent form is shorter.
std::string shortestText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[32];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

}  // namespace

std::string MSRLogContext::cut(std::string_view text) {
    if (text.size() <= kMaxTextBytes) return std::string(text);
    size_t end = kMaxTextBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end)) + "...";
}

std::string MSRLogContext::description() const {
    if (isNull()) return "(null)";
    if (auto t = text()) return formatted_ ? *t : foundation::printable(*t);
    if (auto i = integer()) return std::to_string(*i);
    if (auto d = floating()) return shortestText(*d);
    if (auto e = exception()) return cut(e->description());
    // An error or an object may describe what a server or a file held.
    if (auto e = error()) return foundation::printable(cut(e->description()));
    return foundation::printable(cut(object()->description));
}
