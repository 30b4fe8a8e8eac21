#pragma once

// Shorthands for reports to the engine's monitor, for sources that report
// often: `using MSRMeasurementLog::log;` brings them in.

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "analytics/core/MSRMeasurement.h"
#include "analytics/support/MSRLogContext.h"
#include "analytics/support/MSRMonitor.h"

namespace MSRMeasurementLog {

inline void log(int64_t level, int64_t code, std::string_view message,
                const std::vector<MSRLogContext>& contexts = {}) {
    MSRMeasurement::monitor()->logWithLevel(level, code, message, contexts);
}

// One context, made in its list: GCC's sanitizer builds take a context copied
// or moved from elsewhere for possibly uninitialized.
template <class T>
void logWith(int64_t level, int64_t code, std::string_view message, T&& context) {
    std::vector<MSRLogContext> contexts;
    contexts.emplace_back(std::forward<T>(context));
    MSRMeasurement::monitor()->logWithLevel(level, code, message, contexts);
}

}  // namespace MSRMeasurementLog
