#include "platform/store/AdNetwork.h"

namespace store {

AdNetwork& AdNetwork::shared() {
    static AdNetwork instance;
    return instance;
}

void AdNetwork::updatePostbackConversionValue(int fineValue, CoarseValue coarseValue, bool lockWindow,
                                              Completion completion) {
    std::optional<Error> error;
    {
        std::lock_guard lock(mutex_);
        updates_.push_back({fineValue, coarseValue, lockWindow});
        error = error_;
    }
    // Outside the lock: the completion may ask for the updates.
    if (completion) completion(error);
}

std::vector<AdNetwork::Update> AdNetwork::updates() const {
    std::lock_guard lock(mutex_);
    return updates_;
}

void AdNetwork::registerAppForAdNetworkAttribution() {
    std::lock_guard lock(mutex_);
    ++registrations_;
}

int AdNetwork::registrations() const {
    std::lock_guard lock(mutex_);
    return registrations_;
}

void AdNetwork::setErrorForTesting(std::optional<Error> error) {
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
}

void AdNetwork::resetForTesting() {
    std::lock_guard lock(mutex_);
    updates_.clear();
    registrations_ = 0;
    error_.reset();
}

}  // namespace store
