#include "analytics/reporters/MSREMonitor.h"

#include "analytics/support/MSRMonitor.h"

MSREMonitor& MSREMonitor::shared() {
    static MSREMonitor instance;
    return instance;
}

void MSREMonitor::logWithLevel(int64_t level, int64_t messageCode, std::string_view message,
                               const std::vector<MSRLogContext>& contexts) {
    // Asked for each line: tests and resets replace the shared monitor.
    MSRMonitor::shared()->logWithLevel(level, messageCode, message, contexts);
}
