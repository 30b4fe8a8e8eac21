#pragma once

#include "analytics/support/MSRASLLogger.h"
#include "analytics/support/MSRConsoleLogger.h"
#include "analytics/support/MSRMemoryPreferenceStore.h"
#include "analytics/support/MSRMonitor.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/dispatch/SerialQueue.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// A monitor in virtual time whose console lines are captured and whose
// preferences live in memory. It is installed as the shared monitor for the
// code under test and removed again afterwards. The reservoir keeps the latest
// report unless a test says otherwise.
//
// Without an executor of its own the monitor's queue is a real thread, and
// the monitor may be shared with other real threads that outlive the harness:
// the console and the captured lines are therefore shared with the monitor,
// and the harness waits for the monitor's queue before it ends.
struct MonitorHarness {
    struct Captured {
        std::mutex mutex;
        std::vector<std::string> lines;
    };

    explicit MonitorHarness(MSRMonitor::Environment environment = {}, bool ownExecutor = true) {
        if (ownExecutor) executor = std::make_unique<dispatch::ManualExecutor>();
        if (!environment.queue) environment.queue = dispatch::SerialQueue::create("MSRMonitorQueue");
        queue = environment.queue;
        environment.console = console;
        if (!environment.appPreferences) environment.appPreferences = app;
        if (!environment.monitorSuite) environment.monitorSuite = suite;
        if (!environment.randomUniform) environment.randomUniform = [](uint32_t) { return 0u; };
        monitor = MSRMonitor::initWithLibraryVersion(110100, std::move(environment));
        settle();
        MSRMonitor::setShared(monitor);
    }
    ~MonitorHarness() {
        MSRMonitor::setShared(nullptr);
        // With real threads, the work the test started (what was logged
        // included) has run when the harness goes; a monitor kept alive by
        // someone else still writes to the console it shares. A manual
        // executor drops what it still holds.
        if (!executor) {
            dispatch::drainQueues(kDrainSeconds);
            queue->sync([] {});
        }
    }

    // A bound on the wait for real queues at the end, far above any test's work.
    static constexpr double kDrainSeconds = 60;

    // The console line of a report under the default tag.
    static std::string line(int64_t code, const std::string& text) {
        return std::string(MSRMonitor::kDefaultLogTag) + "[" + MSRASLLogger::messageCodeText(code) + "] " +
               text;
    }
    void settle() {
        if (executor) executor->runUntilIdle();
    }
    std::vector<std::string> takeLines() {
        settle();
        std::lock_guard lock(captured->mutex);
        return std::exchange(captured->lines, {});
    }
    // Key (item 2) or context (item 0) of the report the health monitor keeps, empty when none.
    std::string sampled(size_t item = 2) {
        settle();
        monitor->synchronize();
        auto array = suite->arrayForKey(MSRMonitor::kHealthMonitorKey);
        return array && array->size() == 4 ? *(*array)[item].get<std::string>() : "";
    }

    std::shared_ptr<Captured> captured = std::make_shared<Captured>();
    std::unique_ptr<dispatch::ManualExecutor> executor;
    std::shared_ptr<MSRConsoleLogger> console =
        std::make_shared<MSRConsoleLogger>([captured = captured](const std::string& line) {
            std::lock_guard lock(captured->mutex);
            captured->lines.push_back(line);
        });
    std::shared_ptr<dispatch::Queue> queue;
    std::shared_ptr<MSRMemoryPreferenceStore> app = std::make_shared<MSRMemoryPreferenceStore>();
    std::shared_ptr<MSRMemoryPreferenceStore> suite = std::make_shared<MSRMemoryPreferenceStore>();
    std::shared_ptr<MSRMonitor> monitor;
};

// `unit` written `count` times: texts at and past a length limit.
inline std::string repeat(const std::string& unit, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += unit;
    return out;
}
