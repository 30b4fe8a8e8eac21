#pragma once

// Search-ads attribution: once per installation the reporter asks whether
// the install came from a search-ads campaign. It takes the platform's
// attribution token, posts it to the attribution endpoint and, for an
// attributed install, logs the campaign event "_cmp" with source "Apple" and
// medium "search". The answer (attributed or not) is kept, so the question is
// asked until one answer has come; a daily alarm tries again, at most ten
// times over the life of the installation. Everything runs on the engine's
// worker queue, the request's completion included.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementComponents.h"
#include "platform/net/Network.h"

class MSRAlarm;
class MSRNetworkComponent;
class MSRPersistedConfig;
namespace dispatch {
class Queue;
}

class MSRSearchAdAttributionReporter : public MSRSearchAdReporter,
                                       public std::enable_shared_from_this<MSRSearchAdAttributionReporter> {
public:
    static constexpr const char* kAlarmName = "Search Ad campaign report alarm";
    // The attribution endpoint's path on the measurement host.
    static constexpr const char* kAttributionPath = "/api/v1/";
    static constexpr int64_t kMaxRetries = 10;
    static constexpr double kRetryInterval = 86400;
    static constexpr size_t kMaxResponseBytes = 64 * 1024;

    // Nothing when the queue or the persisted configuration is missing, when
    // ten attempts have been made or an answer is already kept.
    static std::shared_ptr<MSRSearchAdAttributionReporter> initWithWorkerQueue(
        std::shared_ptr<dispatch::Queue> queue, std::shared_ptr<MSRPersistedConfig> persistedConfig,
        std::shared_ptr<MSRNetworkComponent> network);
    ~MSRSearchAdAttributionReporter() override;

    void start() override;
    void setSearchAdReporterEnabled(bool enabled) override;
    bool isSearchAdReporterEnabled() const { return enabled_; }

    void scheduleSearchAdReport();
    void maybeLogIAdCampaignEvent();
    void fetchAttributionDetails();
    void requestAttributionPayloadWithToken(const std::string& token);
    void handleAttributionResponse(const net::Response& response, const std::vector<uint8_t>& body,
                                   const std::optional<net::Error>& error);
    void logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign, const std::string& term);
    void cancelScheduling();
    // Whether the platform offers attribution tokens.
    static bool adClientInstance();

    // The pending attempt's time (seconds since 1970); nothing when none.
    std::optional<double> scheduledTimestamp() const;
    // What start() asks to tell a simulator (the device model by default).
    void setSimulatorCheckForTesting(std::function<bool()> check) { isSimulator_ = std::move(check); }

private:
    MSRSearchAdAttributionReporter() = default;

    std::shared_ptr<dispatch::Queue> queue_;
    std::shared_ptr<MSRAlarm> alarm_;
    std::shared_ptr<MSRPersistedConfig> persistedConfig_;
    std::shared_ptr<MSRNetworkComponent> network_;
    bool enabled_ = false;
    std::mutex campaignMutex_;
    std::function<bool()> isSimulator_;
};

// Registers the reporter's maker with the engine's component registry.
void MSRRegisterSearchAdAttributionReporter();
