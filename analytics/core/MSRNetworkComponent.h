#pragma once

#include "platform/net/Network.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class MSRMonitor;
class MSRRemoteConfig;

// The largest answer to an upload the engine reads (it reads nothing of it
// beyond the status); configurations have their own limit in MSRMeasurement.
constexpr size_t kMSRMaximumUploadResponseBytes = 64 * 1024;

// What an answer means to the engine.
enum class MSRNetworkOutcome {
    kSuccess,             // 200 or 204: the request did its work
    kNotModified,         // 304 of a configuration fetch: keep what is stored
    kNotFound,            // 404 of a configuration fetch: use the defaults
    kFailure,             // anything else, transport failures included: retry later
    kFailureWithBackoff,  // 503 or 429: retry later and hold every request back
};

// The engine's side of the host's network component: it owns the component,
// passes the component's log lines on to the monitor, sets the remote
// time-out before each request and tells what an answer means for uploads and
// for configuration fetches.
class MSRNetworkComponent : public net::LoggerDelegate {
public:
    // `monitor` and `remoteConfig` default to the shared instances.
    MSRNetworkComponent(std::shared_ptr<net::Network> network,
                        std::shared_ptr<MSRMonitor> monitor = nullptr,
                        std::shared_ptr<MSRRemoteConfig> remoteConfig = nullptr);
    ~MSRNetworkComponent() override;
    MSRNetworkComponent(const MSRNetworkComponent&) = delete;
    MSRNetworkComponent& operator=(const MSRNetworkComponent&) = delete;

    // The production component over libcurl, reaching only the hosts that
    // `configuration` allows.
    static std::unique_ptr<MSRNetworkComponent> initWithReachabilityHost(
        const std::string& host, net::NetworkConfiguration configuration = {},
        std::shared_ptr<MSRMonitor> monitor = nullptr,
        std::shared_ptr<MSRRemoteConfig> remoteConfig = nullptr);

    // Both answer the session identifier, empty when nothing was started (the
    // completion then never runs); otherwise the completion runs exactly once
    // on `queue`.
    std::string postURL(const std::string& url, const net::Headers& headers,
                        std::vector<uint8_t> payload, size_t maximumResponseBytes,
                        std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                        net::Completion completionHandler);
    std::string getURL(const std::string& url, const net::Headers& headers, size_t maximumResponseBytes,
                       std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                       net::Completion completionHandler);

    bool isNetworkConnected() const { return network_->isNetworkConnected(); }
    bool hasUploadInProgress() const { return network_->hasUploadInProgress(); }
    void setReachabilityDelegate(net::ReachabilityDelegate* delegate);
    net::Network& network() const { return *network_; }

    // Upload answers: 200 and 204 succeed; 503 and 429 fail with back-off;
    // every other status, and a transport failure (status 0), fails.
    static MSRNetworkOutcome uploadOutcomeForStatusCode(int statusCode);
    // Configuration answers: 200 and 204 succeed, 304 and 404 are accepted as
    // they are; the rest as for uploads.
    static MSRNetworkOutcome configFetchOutcomeForStatusCode(int statusCode);

    // The monitor level of a network-layer level: 3 -> 1, 4 -> 4, 5 -> 3,
    // 6 -> 6, 7 -> 7, any other -> 3.
    static int64_t monitorLevelFromNetworkLevel(int level);

    void networkLog(int level, int64_t messageCode, const std::string& message) override;

private:
    void applyTimeout();

    std::shared_ptr<net::Network> network_;
    std::shared_ptr<MSRMonitor> monitor_;
    std::shared_ptr<MSRRemoteConfig> remoteConfig_;
};
