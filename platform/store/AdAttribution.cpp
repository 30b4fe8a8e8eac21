#include "platform/store/AdAttribution.h"

namespace store {

AdAttribution& AdAttribution::shared() {
    static AdAttribution instance;
    return instance;
}

bool AdAttribution::isPresent() const {
    std::lock_guard lock(mutex_);
    return present_;
}

std::optional<std::string> AdAttribution::attributionToken(std::string* error) const {
    std::lock_guard lock(mutex_);
    if (present_ && token_) return token_;
    if (error) *error = present_ ? error_ : "the attribution service is not available";
    return std::nullopt;
}

void AdAttribution::setTokenForTesting(std::string token) {
    std::lock_guard lock(mutex_);
    present_ = true;
    token_ = std::move(token);
    error_.clear();
}

void AdAttribution::setErrorForTesting(std::string error) {
    std::lock_guard lock(mutex_);
    present_ = true;
    token_.reset();
    error_ = std::move(error);
}

void AdAttribution::resetForTesting() {
    std::lock_guard lock(mutex_);
    present_ = false;
    token_.reset();
    error_.clear();
}

}  // namespace store
