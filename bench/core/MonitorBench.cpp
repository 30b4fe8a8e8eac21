// The cost a caller pays for one monitor report. Reports below the console's
// level and outside the health monitor must cost next to nothing, since the
// engine logs debug lines on every event.
#include "analytics/support/MSRConsoleLogger.h"
#include "analytics/support/MSRMemoryPreferenceStore.h"
#include "analytics/support/MSRMonitor.h"

#include <benchmark/benchmark.h>

namespace {

struct Fixture {
    Fixture() {
        MSRMonitor::Environment environment;
        environment.console = console;
        environment.appPreferences = std::make_shared<MSRMemoryPreferenceStore>();
        environment.monitorSuite = std::make_shared<MSRMemoryPreferenceStore>();
        monitor = MSRMonitor::initWithLibraryVersion(110100, environment);
    }
    std::shared_ptr<MSRConsoleLogger> console =
        std::make_shared<MSRConsoleLogger>([](const std::string&) {});
    std::shared_ptr<MSRMonitor> monitor;
};

// A debug report (level 7) while the console prints notices and above.
void BM_MonitorLineBelowLoggingLevel(benchmark::State& state) {
    Fixture f;
    for (auto _ : state) {
        f.monitor->logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
    }
}
BENCHMARK(BM_MonitorLineBelowLoggingLevel);

// A verbose report (level 8) while verbose logging is off.
void BM_MonitorVerboseLineWhileOff(benchmark::State& state) {
    Fixture f;
    f.console->setLoggerLevel(MSRConsoleLogger::kLevelDebug);
    for (auto _ : state) {
        f.monitor->logWithLevel(8, 23025, "No next uploading time. Upload task will not be scheduled");
    }
}
BENCHMARK(BM_MonitorVerboseLineWhileOff);

// For comparison: a report that is printed, with one context (text building
// and the hand-off to the monitor queue).
void BM_MonitorLinePrinted(benchmark::State& state) {
    Fixture f;
    for (auto _ : state) {
        f.monitor->logWithLevel(0, 25034, "Invalid safelisted event parameter. Type must be an array",
                                {42});
    }
}
BENCHMARK(BM_MonitorLinePrinted);

}  // namespace
