#include "analytics/core/MSRNetworkComponent.h"

#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/net/CurlNetwork.h"

MSRNetworkComponent::MSRNetworkComponent(std::shared_ptr<net::Network> network,
                                         std::shared_ptr<MSRMonitor> monitor,
                                         std::shared_ptr<MSRRemoteConfig> remoteConfig)
    : network_(std::move(network)),
      monitor_(monitor ? std::move(monitor) : MSRMonitor::shared()),
      remoteConfig_(remoteConfig ? std::move(remoteConfig) : MSRRemoteConfig::defaultInstance()) {
    network_->setLoggerDelegate(this);
    network_->setIsDebugModeEnabled(monitor_->isDebugModeEnabled());
}

MSRNetworkComponent::~MSRNetworkComponent() { network_->setLoggerDelegate(nullptr); }

std::unique_ptr<MSRNetworkComponent> MSRNetworkComponent::initWithReachabilityHost(
    const std::string& host, net::NetworkConfiguration configuration,
    std::shared_ptr<MSRMonitor> monitor, std::shared_ptr<MSRRemoteConfig> remoteConfig) {
    return std::make_unique<MSRNetworkComponent>(
        std::make_shared<net::CurlNetwork>(std::move(configuration), host), std::move(monitor),
        std::move(remoteConfig));
}

void MSRNetworkComponent::applyTimeout() {
    network_->setTimeoutInterval(remoteConfig_->networkTimeout());
}

std::string MSRNetworkComponent::postURL(const std::string& url, const net::Headers& headers,
                                         std::vector<uint8_t> payload, size_t maximumResponseBytes,
                                         std::shared_ptr<dispatch::Queue> queue,
                                         bool usingBackgroundSession,
                                         net::Completion completionHandler) {
    applyTimeout();
    return network_->postURL(url, headers, std::move(payload), maximumResponseBytes, std::move(queue),
                             usingBackgroundSession, std::move(completionHandler));
}

std::string MSRNetworkComponent::getURL(const std::string& url, const net::Headers& headers,
                                        size_t maximumResponseBytes,
                                        std::shared_ptr<dispatch::Queue> queue,
                                        bool usingBackgroundSession,
                                        net::Completion completionHandler) {
    applyTimeout();
    return network_->getURL(url, headers, maximumResponseBytes, std::move(queue), usingBackgroundSession,
                            std::move(completionHandler));
}

void MSRNetworkComponent::setReachabilityDelegate(net::ReachabilityDelegate* delegate) {
    network_->setReachabilityDelegate(delegate);
}

MSRNetworkOutcome MSRNetworkComponent::uploadOutcomeForStatusCode(int statusCode) {
    switch (statusCode) {
    case net::kHTTPStatusOK:
    case net::kHTTPStatusNoContent:
        return MSRNetworkOutcome::kSuccess;
    case net::kHTTPStatusServiceUnavailable:
    case net::kHTTPStatusTooManyRequests:
        return MSRNetworkOutcome::kFailureWithBackoff;
    default:
        return MSRNetworkOutcome::kFailure;
    }
}

MSRNetworkOutcome MSRNetworkComponent::configFetchOutcomeForStatusCode(int statusCode) {
    switch (statusCode) {
    case net::kHTTPStatusNotModified:
        return MSRNetworkOutcome::kNotModified;
    case net::kHTTPStatusNotFound:
        return MSRNetworkOutcome::kNotFound;
    default:
        return uploadOutcomeForStatusCode(statusCode);
    }
}

int64_t MSRNetworkComponent::monitorLevelFromNetworkLevel(int level) {
    switch (level) {
    case 3: return 1;
    case 4: return 4;
    case 5: return 3;
    case 6: return 6;
    case 7: return 7;
    default: return 3;
    }
}

void MSRNetworkComponent::networkLog(int level, int64_t messageCode, const std::string& message) {
    monitor_->logWithLevel(monitorLevelFromNetworkLevel(level), messageCode, message);
}
