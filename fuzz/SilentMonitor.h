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
    MSRMonitor::setShared(MSRMonitor::initWithLibraryVersion(0, std::move(environment)));
}

}  // namespace fuzz
