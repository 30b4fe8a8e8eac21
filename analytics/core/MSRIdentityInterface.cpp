#include "analytics/core/MSRIdentityInterface.h"

#include "analytics/core/MSRComponentRegistry.h"

std::shared_ptr<MSRIdentityInterface> MSRIdentityInterface::shared() {
    return MSRComponentRegistry::make<MSRIdentityInterface>();
}
