#pragma once

// Most fuzz inputs fail to decode and each failure is reported; a monitor
// whose console prints nothing keeps the runs fast and the output readable.

#include <memory>
#include <utility>

#include "analytics/support/MSRConsoleLogger.h"
#include "analytics/support/MSRMonitor.h"

namespace fuzz {

inline void installSilentMonitor() {
    auto silent = std::make_shared<MSRConsoleLogger>();
    silent->setLoggerLevel(0);
    MSRMonitor::Environment environment;
    environment.console = silent;
    // Health data is sampled by random draws: a fixed one keeps OpenSSL's
    // generator, whose state for the monitor's thread LeakSanitizer reports
    // as lost at exit, out of programs that log at monitored levels.
    environment.randomUniform = [](uint32_t upperBound) { return upperBound / 2; };
    MSRMonitor::setShared(MSRMonitor::initWithLibraryVersion(0, std::move(environment)));
}

}  // namespace fuzz
