#include "analytics/core/MSRIdentityInterface.h"

#include <mutex>

#include "analytics/core/MSRIdentity.h"

namespace {

std::mutex& identityMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<MSRIdentityInterface>& identitySlot() {
    static std::shared_ptr<MSRIdentityInterface> identity;
    return identity;
}

}  // namespace

void MSRIdentityInterface::install(std::shared_ptr<MSRIdentityInterface> identity) {
    std::lock_guard lock(identityMutex());
    identitySlot() = std::move(identity);
}

// An identity installed by hand (a test's) wins; otherwise the facade sees the
// engine's shared identity, made on first use like every shared instance.
std::shared_ptr<MSRIdentityInterface> MSRIdentityInterface::shared() {
    {
        std::lock_guard lock(identityMutex());
        if (identitySlot()) return identitySlot();
    }
    return MSRIdentity::sharedInstance();
}
