#include "analytics/core/MSRIdentityInterface.h"

#include <mutex>

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

std::shared_ptr<MSRIdentityInterface> MSRIdentityInterface::shared() {
    std::lock_guard lock(identityMutex());
    return identitySlot();
}
