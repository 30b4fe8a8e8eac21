#include "platform/net/Network.h"

#include <strings.h>

namespace net {

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

bool Network::isNetworkConnected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

void Network::setNetworkConnected(bool connected) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connected_ == connected) return;
        connected_ = connected;
    }
    std::lock_guard<std::mutex> lock(delegateMutex_);
    if (reachabilityDelegate_) reachabilityDelegate_->reachabilityDidChange();
}

void Network::setReachabilityDelegate(ReachabilityDelegate* delegate) {
    std::lock_guard<std::mutex> lock(delegateMutex_);
    reachabilityDelegate_ = delegate;
}

void Network::setTimeoutInterval(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    timeout_ = seconds;
}

double Network::timeoutInterval() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeout_;
}

std::optional<std::string> Network::refusalReason(const std::string&) const {
    return std::nullopt;
}

void Network::handleEventsForBackgroundURLSessionID(const std::string&,
                                                    const std::function<void()>& completionHandler) {
    if (completionHandler) completionHandler();
}

}  // namespace net
