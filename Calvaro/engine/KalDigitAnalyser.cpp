#include "Calvaro/engine/KalDigitAnalyser.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "Calvaro/engine/TextFormat.h"

namespace {

// The length of the part after the last "." (empty pieces dropped), or none
// when the text has no "." or that part is not a whole number.
std::optional<size_t> countingFractionLength(const std::string& text) {
    if (text.find('.') == std::string::npos) return std::nullopt;
    const auto pieces = splitDroppingEmpty(text, '.');
    if (pieces.empty()) return std::nullopt;
    const std::string& last = pieces.back();
    size_t i = (last[0] == '+' || last[0] == '-') ? 1 : 0;
    if (i == last.size()) return std::nullopt;
    for (size_t j = i; j < last.size(); ++j) {
        if (!std::isdigit(static_cast<unsigned char>(last[j]))) return std::nullopt;
    }
    return last.size();
}

}  // namespace

double KalDigitAnalyser::decimalPlaces(const std::string& first, const std::string& second) {
    const auto a = countingFractionLength(first);
    const auto b = countingFractionLength(second);
    return static_cast<double>(std::max(a.value_or(0), b.value_or(0)));
}
