#include "analytics/support/MSRPreferenceStore.h"

#include <cmath>
#include <limits>

std::optional<MSRPreferenceValue::Array> MSRPreferenceStore::arrayForKey(
    const std::string& key) const {
    auto value = objectForKey(key);
    if (!value) return std::nullopt;
    if (auto array = value->get<MSRPreferenceValue::Array>()) return *array;
    return std::nullopt;
}

bool MSRPreferenceStore::boolForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value) return false;
    if (auto b = value->get<bool>()) return *b;
    if (auto i = value->get<int64_t>()) return *i != 0;
    return false;
}

int64_t MSRPreferenceStore::integerForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value) return 0;
    if (auto i = value->get<int64_t>()) return *i;
    if (auto b = value->get<bool>()) return *b ? 1 : 0;
    if (auto d = value->get<double>()) {
        // A real beyond the integer range has no integer; it reads as 0.
        if (!std::isfinite(*d) || std::fabs(*d) >= 9.2233720368547758e18) return 0;
        return static_cast<int64_t>(*d);
    }
    return 0;
}
