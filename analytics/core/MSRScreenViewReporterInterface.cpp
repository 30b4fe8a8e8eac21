#include "analytics/core/MSRScreenViewReporterInterface.h"

#include "analytics/core/MSRComponentRegistry.h"

std::shared_ptr<MSRScreenViewReporterInterface> MSRScreenViewReporterInterface::shared() {
    return MSRComponentRegistry::make<MSRScreenViewReporterInterface>();
}
