#include "platform/foundation/NumberFormatter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace foundation {

std::string NumberFormatter::string(double value) const {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+\xE2\x88\x9E" : "-\xE2\x88\x9E";
    int maxDigits = std::clamp(maximumFractionDigits, 0, 40);
    int minDigits = std::clamp(minimumFractionDigits, 0, maxDigits);

    // printf rounds the exact binary value, which is half to even on true ties.
    int length = std::snprintf(nullptr, 0, "%.*f", maxDigits, value);
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::snprintf(buffer.data(), buffer.size(), "%.*f", maxDigits, value);
    std::string text(buffer.data(), static_cast<size_t>(length));

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
        size_t end = text.find('.');
        if (end == std::string::npos) end = text.size();
        for (size_t pos = end; pos > begin + 3; pos -= 3) text.insert(pos - 3, ",");
    }
    return text;
}

}  // namespace foundation
