#include "analytics/core/MSRScreenViewReporterInterface.h"

#include <mutex>

namespace {

std::mutex& reporterMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<MSRScreenViewReporterInterface>& reporterSlot() {
    static std::shared_ptr<MSRScreenViewReporterInterface> reporter;
    return reporter;
}

}  // namespace

void MSRScreenViewReporterInterface::install(std::shared_ptr<MSRScreenViewReporterInterface> reporter) {
    std::lock_guard lock(reporterMutex());
    reporterSlot() = std::move(reporter);
}

std::shared_ptr<MSRScreenViewReporterInterface> MSRScreenViewReporterInterface::shared() {
    std::lock_guard lock(reporterMutex());
    return reporterSlot();
}
