#include "analytics/reporters/MSRSearchAdAttributionReporter.h"

#include <cmath>

#include "analytics/core/MSRAEU.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementLog.h"
#include "analytics/core/MSRNetworkComponent.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRAlarm.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/support/MSRStoredCount.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Value.h"
#include "platform/host/AdvertisingIdentity.h"
#include "platform/store/AdAttribution.h"

namespace {

using MSRMeasurementLog::log;
using MSRMeasurementLog::logWith;

// An identifier of the answer as its decimal text ("" when it has none).
std::string decimalText(const foundation::Value& value) {
    if (auto integer = value.integerValue()) return std::to_string(*integer);
    if (auto number = value.doubleValue(); number && std::isfinite(*number)) {
        if (*number == std::trunc(*number) && std::fabs(*number) < 9.2e18)
            return std::to_string(static_cast<int64_t>(*number));
        return foundation::Value(*number).jsonText();
    }
    if (const std::string* text = value.string()) return *text;
    return "";
}

}  // namespace

std::shared_ptr<MSRSearchAdAttributionReporter> MSRSearchAdAttributionReporter::initWithWorkerQueue(
    std::shared_ptr<dispatch::Queue> queue, std::shared_ptr<MSRPersistedConfig> persistedConfig,
    std::shared_ptr<MSRNetworkComponent> network) {
    if (!queue) {
        log(2, 32000, "Cannot init Search Ad reporter. Queue must be provided");
        return nullptr;
    }
    if (!persistedConfig) {
        log(2, 32001, "Cannot init Search Ad reporter. Persisted config must be provided");
        return nullptr;
    }
    if (persistedConfig->searchAdRetryCount() > kMaxRetries - 1) return nullptr;
    if (!persistedConfig->searchAdCampaignValue().isAbsent()) {
        log(7, 32002, "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
        return nullptr;
    }
    std::shared_ptr<MSRSearchAdAttributionReporter> reporter(new MSRSearchAdAttributionReporter());
    reporter->queue_ = queue;
    reporter->alarm_ = std::make_shared<MSRAlarm>(std::move(queue), kAlarmName);
    reporter->persistedConfig_ = std::move(persistedConfig);
    reporter->network_ = std::move(network);
    reporter->isSimulator_ = &MSRAEU::isNOD;
    return reporter;
}

MSRSearchAdAttributionReporter::~MSRSearchAdAttributionReporter() { cancelScheduling(); }

bool MSRSearchAdAttributionReporter::adClientInstance() {
    auto& system = host::AdvertisingIdentity::shared();
    const int major = system.systemMajorVersion();
    const bool recentEnough = major > 14 || (major == 14 && system.systemMinorVersion() >= 3);
    return recentEnough && store::AdAttribution::shared().isPresent();
}

void MSRSearchAdAttributionReporter::start() {
    if (!adClientInstance()) {
        log(7, 32014, "AdServices framework is not linked. Search Ad Attribution Reporter is disabled.");
        return;
    }
    if (isSimulator_ && isSimulator_()) {
        log(7, 32019, "Search Ad Attribution Reporter is disabled on the simulator");
        return;
    }
    scheduleSearchAdReport();
}

void MSRSearchAdAttributionReporter::setSearchAdReporterEnabled(bool enabled) { enabled_ = enabled; }

std::optional<double> MSRSearchAdAttributionReporter::scheduledTimestamp() const {
    return alarm_ ? alarm_->scheduledTimestamp() : std::nullopt;
}

void MSRSearchAdAttributionReporter::scheduleSearchAdReport() {
    if (!alarm_) {
        log(5, 32013, "Search Ad Campaign attribution alarm is already canceled");
        return;
    }
    if (!enabled_) {
        alarm_->cancel();
        return;
    }
    if (!persistedConfig_->searchAdCampaignValue().isAbsent()) {
        log(7, 32004, "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
        cancelScheduling();
        return;
    }
    if (alarm_->scheduledTimestamp()) {
        log(5, 32005, "Search Ad Campaign attribution alarm is already scheduled");
        return;
    }
    if (persistedConfig_->searchAdRetryCount() < kMaxRetries) {
        log(7, 32006, "Scheduling Search Ad Report timer");
        const double sinceLast = std::fabs(dispatch::Clock::now() - persistedConfig_->lastSearchAdLookUpTimestamp());
        std::weak_ptr<MSRSearchAdAttributionReporter> weak = weak_from_this();
        alarm_->runAfterDelay(kRetryInterval - sinceLast, [weak] {
            if (auto reporter = weak.lock()) reporter->maybeLogIAdCampaignEvent();
        });
        return;
    }
    log(5, 32007, "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
    cancelScheduling();
}

void MSRSearchAdAttributionReporter::maybeLogIAdCampaignEvent() {
    if (!adClientInstance()) return;
    persistedConfig_->setLastSearchAdLookUpTimestamp(dispatch::Clock::now());
    fetchAttributionDetails();
    scheduleSearchAdReport();
}

void MSRSearchAdAttributionReporter::fetchAttributionDetails() {
    persistedConfig_->setSearchAdRetryCount(MSRNextCount(persistedConfig_->searchAdRetryCount()));
    if (!adClientInstance()) return;
    std::string why;
    auto token = store::AdAttribution::shared().attributionToken(&why);
    if (!token) {
        logWith(1, 32018, "Cannot send request for Search Ad campaign attribution. Error", why);
        return;
    }
    if (!token->empty()) requestAttributionPayloadWithToken(*token);
}

void MSRSearchAdAttributionReporter::requestAttributionPayloadWithToken(const std::string& token) {
    if (token.empty()) return;
    const std::string base = MSRRemoteConfig::measurementURL();
    std::string session;
    std::weak_ptr<MSRSearchAdAttributionReporter> weak = weak_from_this();
    if (network_ && !base.empty()) {
        // The completion comes back on the worker queue, where the alarm and
        // every other step of the reporter run.
        session = network_->postURL(
            base + kAttributionPath, {{"cache-control", "no-cache"}, {"Content-Type", "text/plain"}},
            std::vector<uint8_t>(token.begin(), token.end()), kMaxResponseBytes, queue_, false,
            [weak](const net::Response& response, const std::vector<uint8_t>& body,
                   const std::optional<net::Error>& error) {
                if (auto reporter = weak.lock()) reporter->handleAttributionResponse(response, body, error);
            });
    }
    if (session.empty()) {
        logWith(1, 32015, "Cannot send request for Search Ad campaign attribution. Error", "the request could not be sent");
        scheduleSearchAdReport();
    }
}

void MSRSearchAdAttributionReporter::handleAttributionResponse(const net::Response& response,
                                                               const std::vector<uint8_t>& body,
                                                               const std::optional<net::Error>& error) {
    // Only a 200 carries an answer: an error page must not be kept as "not
    // attributed" for the life of the installation.
    if (error || response.statusCode != net::kHTTPStatusOK) {
        std::vector<MSRLogContext> contexts;
        contexts.reserve(2);
        contexts.emplace_back(static_cast<int64_t>(response.statusCode));
        contexts.emplace_back(error ? error->description : std::string("HTTP status"));
        log(1, 32015, "Cannot send request for Search Ad campaign attribution. Error", contexts);
        scheduleSearchAdReport();
        return;
    }
    auto parsed = foundation::Value::parseJson(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!parsed || !parsed->dictionary()) {
        log(1, 32017, "Search Ad Reporter failed to parse JSON data. Error");
        scheduleSearchAdReport();
        return;
    }
    if (parsed->dictionary()->empty()) {
        scheduleSearchAdReport();
        return;
    }
    const foundation::Value& answer = *parsed;
    const std::string campaign = decimalText(answer["campaignId"]);
    const std::string ad = decimalText(answer["adId"]);
    if (ad == "1234567890" && campaign == "1234567890") {
        log(7, 32016, "Search Ad Reporter returned test data. Will retry next time.");
        scheduleSearchAdReport();
        return;
    }
    const bool attributed = answer["attribution"].boolValue().value_or(false);
    logCampaignEventWithSearchAdCampaign(attributed, campaign, decimalText(answer["keywordId"]));
    cancelScheduling();
}

void MSRSearchAdAttributionReporter::logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign,
                                                                          const std::string& term) {
    {
        std::lock_guard lock(campaignMutex_);
        if (!persistedConfig_->searchAdCampaignValue().isAbsent()) {
            log(5, 32008, "Search Ad Campaign is already tracked");
            return;
        }
        persistedConfig_->setSearchAdCampaignValue(foundation::Value(int64_t{attributed ? 1 : 0}));
    }
    if (!attributed) return;
    MSRObjectDictionary parameters = {{"source", MSRValue(std::string("Apple"))},
                                      {"medium", MSRValue(std::string("search"))}};
    if (!campaign.empty()) parameters["campaign"] = MSRValue(campaign);
    if (!term.empty()) parameters["term"] = MSRValue(term);
    const int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
    if (firstOpen < 2) {
        log(5, 32009, "Search Ad Campaign does not have click_timestamp.");
    } else {
        parameters["click_timestamp"] = MSRValue(firstOpen - 1);
    }
    MSRAnalytics::logInternalEventWithOrigin("auto", "_cmp", parameters);
}

void MSRSearchAdAttributionReporter::cancelScheduling() {
    if (!alarm_) return;
    alarm_->cancel();
    // Dropped in a later block: this one may be the alarm's own, which must
    // not destroy the alarm it runs in.
    if (queue_) {
        queue_->async([dropped = std::move(alarm_)] {});
    } else {
        alarm_.reset();
    }
}

void MSRRegisterSearchAdAttributionReporter() {
    MSRComponentRegistry::registerMaker<MSRSearchAdReporter>(
        [](const MSRComponentContext& context) -> std::shared_ptr<MSRSearchAdReporter> {
            auto reporter = MSRSearchAdAttributionReporter::initWithWorkerQueue(context.workerQueue,
                                                                                context.persistedConfig, context.network);
            // No reporter: the neutral one, which does nothing.
            if (!reporter) return std::make_shared<MSRSearchAdReporter>();
            return reporter;
        });
}
