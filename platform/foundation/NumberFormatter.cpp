#include "platform/foundation/NumberFormatter.h"

#include <cmath>

#include "platform/foundation/Text.h"

namespace foundation {

std::string NumberFormatter::string(double value) const {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+\xE2\x88\x9E" : "-\xE2\x88\x9E";
    std::string text = formatDecimal(value, minimumFractionDigits, maximumFractionDigits,
                                     numberStyle == Style::decimal && usesGroupingSeparator);
    // A value that rounds to zero is written without a sign.
    if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
    return text;
}

}  // namespace foundation
