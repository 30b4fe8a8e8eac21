#pragma once

// The one logger of the experiments code: every line goes to the engine's
// monitor, so experiments share its level, console tag and health data.

#include <cstdint>
#include <string_view>
#include <vector>

#include "analytics/support/MSRLogContext.h"

class MSREMonitor {
  public:
    // One for the process, over the engine's shared monitor of the moment.
    static MSREMonitor& shared();

    void logWithLevel(int64_t level, int64_t messageCode, std::string_view message,
                      const std::vector<MSRLogContext>& contexts = {});
};

// Shorthand for MSREMonitor::shared().logWithLevel.
inline void MSRELog(int64_t level, int64_t messageCode, std::string_view message,
                    const std::vector<MSRLogContext>& contexts = {}) {
    MSREMonitor::shared().logWithLevel(level, messageCode, message, contexts);
}
