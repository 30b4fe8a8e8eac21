#include "Calvaro/charts/data/Quadrant.h"

#include <array>

namespace {
constexpr std::array<std::string_view, 4> kRawValues = {"I", "II", "III", "IV"};
}  // namespace

std::optional<Quadrant> quadrantFromRawValue(std::string_view text) {
    for (size_t i = 0; i < kRawValues.size(); ++i) {
        if (kRawValues[i] == text) return static_cast<Quadrant>(i);
    }
    return std::nullopt;
}

std::string_view rawValue(Quadrant quadrant) { return kRawValues[static_cast<size_t>(quadrant)]; }
