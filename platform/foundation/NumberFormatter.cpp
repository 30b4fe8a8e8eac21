#include "platform/foundation/NumberFormatter.h"

#include <algorithm>
#include <cmath>
#include <charconv>

namespace foundation {

std::string NumberFormatter::string(double value) const {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+\xE2\x88\x9E" : "-\xE2\x88\x9E";
    int maxDigits = std::clamp(maximumFractionDigits, 0, 40);
    int minDigits = std::clamp(minimumFractionDigits, 0, maxDigits);

    // to_chars rounds the exact binary value, which is half to even on true
    // ties. The largest double has 309 integer digits, so the buffer fits all.
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, maxDigits);
    std::string text(buffer, result.ptr);

    size_t dot = text.find('.');
    if (dot != std::string::npos) {
        size_t keep = dot + 1 + static_cast<size_t>(minDigits);
        while (text.size() > keep && text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    if (text == "-0" || text.find_first_not_of("-0.") == std::string::npos) {
        if (text.front() == '-') text.erase(0, 1);  // no negative zero
    }
    if (numberStyle == Style::decimal && usesGroupingSeparator) {
        size_t begin = text.front() == '-' ? 1 : 0;
        size_t end = std::min(text.find('.'), text.size());
        std::string grouped = text.substr(0, begin);
        for (size_t pos = begin; pos < end; ++pos) {
            if (pos > begin && (end - pos) % 3 == 0) grouped += ',';
            grouped += text[pos];
        }
        grouped.append(text, end, std::string::npos);
        text = std::move(grouped);
    }
    return text;
}

}  // namespace foundation
