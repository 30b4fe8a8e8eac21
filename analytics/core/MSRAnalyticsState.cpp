#include "analytics/core/MSRAnalyticsState.h"

#include <map>
#include <mutex>
#include <utility>

#include "analytics/core/MSRConsentSettingsUtil.h"
#include "platform/dispatch/Clock.h"

namespace {

// The state is made with the program: the load timestamp is taken then.
const double kLoadTime = dispatch::Clock::now();

struct SharedState {
    std::mutex mutex;
    double loadTimestamp = kLoadTime;
    std::shared_ptr<dispatch::OperationGate> gate =
        std::make_shared<dispatch::OperationGate>(MSRAnalyticsState::kOperationQueueName, /*startSuspended=*/true);
    std::shared_ptr<MSRUserDefaults> suite = std::make_shared<MSRUserDefaults>(MSRAnalyticsState::kSuiteName);
    std::optional<std::map<MSRAnalyticsState::ListenerToken, MSRAnalyticsState::LogEventListener>> listeners;
    MSRAnalyticsState::ListenerToken nextToken = 1;
};

SharedState& analyticsState() {
    static SharedState* instance = new SharedState;  // lives as long as the process
    return *instance;
}

// The keys a consent call writes: what the earlier run left under them is
// kept aside when a call comes before the start's choice.
constexpr const char* kConsentKeysOfACall[] = {"consent_source", "consent_settings_3p", "consent_settings",
                                               "consent_settings_tcf"};

struct ConsentOfThisRun {
    std::mutex mutex;
    bool chosen = false;
    // What the earlier run left, as the first call before the choice found
    // it: the consent in memory and the stored keys (absent ones too).
    std::optional<MSRConsentSettingsUtil::Explicit> earlier;
    std::map<std::string, foundation::Value> earlierStored;
    std::vector<MSRAnalyticsState::ConsentCall> callsBefore;
};

ConsentOfThisRun& consentOfThisRun() {
    static ConsentOfThisRun* instance = new ConsentOfThisRun;  // lives as long as the process
    return *instance;
}

}  // namespace

// ---- queues -----------------------------------------------------------------

std::shared_ptr<dispatch::SerialQueue> MSRAnalyticsState::queue() {
    static auto serial = dispatch::SerialQueue::create(kSerialQueueLabel);
    return serial;
}

void MSRAnalyticsState::dispatchAsyncOnSerialQueue(Block block) { queue()->async(std::move(block)); }

std::shared_ptr<dispatch::OperationGate> MSRAnalyticsState::gate() {
    std::lock_guard lock(analyticsState().mutex);
    return analyticsState().gate;
}

void MSRAnalyticsState::queueOperationWithBlock(Block block) {
    gate()->addOperationPostingTo(queue(), std::move(block));
}

double MSRAnalyticsState::loadTimestamp() {
    std::lock_guard lock(analyticsState().mutex);
    return analyticsState().loadTimestamp;
}

void MSRAnalyticsState::setLoadTimestamp(double timestamp) {
    std::lock_guard lock(analyticsState().mutex);
    analyticsState().loadTimestamp = timestamp;
}

// ---- log-event listeners ----------------------------------------------------

MSRAnalyticsState::ListenerToken MSRAnalyticsState::nextListenerToken() {
    std::lock_guard lock(analyticsState().mutex);
    return analyticsState().nextToken++;
}

void MSRAnalyticsState::setEventListener(ListenerToken token, LogEventListener listener) {
    std::lock_guard lock(analyticsState().mutex);
    if (!analyticsState().listeners) analyticsState().listeners.emplace();
    (*analyticsState().listeners)[token] = std::move(listener);
}

MSRAnalyticsState::ListenerRemoval MSRAnalyticsState::removeEventListener(ListenerToken token) {
    std::lock_guard lock(analyticsState().mutex);
    if (!analyticsState().listeners) return ListenerRemoval::noListeners;
    return analyticsState().listeners->erase(token) == 0 ? ListenerRemoval::unknownToken : ListenerRemoval::removed;
}

void MSRAnalyticsState::notifyEventListeners(const MSREvent& event) {
    queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void MSRAnalyticsState::notifyEventListeners(std::vector<MSREvent> events) {
    if (events.empty()) return;
    queueOperationWithBlock([events = std::move(events)] {
        const std::vector<LogEventListener> listeners = currentEventListeners();
        for (const MSREvent& event : events)
            for (const auto& listener : listeners) listener(event);
    });
}

void MSRAnalyticsState::notifyEventListenersOnSerialQueue(const MSREvent& event) {
    for (const auto& listener : currentEventListeners()) listener(event);
}

std::vector<MSRAnalyticsState::LogEventListener> MSRAnalyticsState::currentEventListeners() {
    std::vector<LogEventListener> listeners;
    std::lock_guard lock(analyticsState().mutex);
    if (analyticsState().listeners)
        for (const auto& entry : *analyticsState().listeners) listeners.push_back(entry.second);
    return listeners;
}

// ---- the analytics suite ----------------------------------------------------

std::shared_ptr<MSRUserDefaults> MSRAnalyticsState::suite() {
    std::lock_guard lock(analyticsState().mutex);
    return analyticsState().suite;
}

std::optional<foundation::Value::Dictionary> MSRAnalyticsState::suiteDictionary(const char* key) {
    return suite()->dictionaryForKey(key);
}

int64_t MSRAnalyticsState::resetRetryCount() { return suite()->integerForKey("reset_retry_count"); }

void MSRAnalyticsState::setResetRetryCount(int64_t count) {
    if (count >= 1) {
        suite()->setObject(foundation::Value(count), "reset_retry_count");
    } else {
        suite()->removeObjectForKey("reset_retry_count");
    }
}

bool MSRAnalyticsState::needFirstOpenAfterReset() { return suite()->boolForKey("need_first_open_after_reset"); }
void MSRAnalyticsState::setNeedFirstOpenAfterReset(bool need) {
    suite()->setObject(foundation::Value(need), "need_first_open_after_reset");
}
void MSRAnalyticsState::removeNeedFirstOpenAfterReset() {
    suite()->removeObjectForKey("need_first_open_after_reset");
}

std::optional<std::string> MSRAnalyticsState::appInstanceIDAfterReset() {
    return suite()->stringForKey("app_instance_id_after_reset");
}
void MSRAnalyticsState::setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID) {
    suite()->setObject(appInstanceID ? foundation::Value(*appInstanceID) : foundation::Value(),
                       "app_instance_id_after_reset");
}

foundation::Value MSRAnalyticsState::deferredAnalyticsCollection() {
    return suite()->objectForKey("deferred_analytics_collection");
}
void MSRAnalyticsState::setDeferredAnalyticsCollection(const foundation::Value& value) {
    suite()->setObject(value, "deferred_analytics_collection");
}

std::optional<foundation::Value::Dictionary> MSRAnalyticsState::consentSettings1P() {
    return suiteDictionary("consent_settings");
}
std::optional<foundation::Value::Dictionary> MSRAnalyticsState::consentSettings3P() {
    return suiteDictionary("consent_settings_3p");
}
std::optional<foundation::Value::Dictionary> MSRAnalyticsState::consentSettingsTCF() {
    return suiteDictionary("consent_settings_tcf");
}
std::optional<foundation::Value::Dictionary> MSRAnalyticsState::consentSettings1PStart() {
    return suiteDictionary("consent_settings_on_start");
}
void MSRAnalyticsState::removeStartUpConsentSettings() { suite()->removeObjectForKey("consent_settings_on_start"); }
foundation::Value MSRAnalyticsState::deferredResetOnDeniedConsent() {
    return suite()->objectForKey("deferred_consent_reset");
}
void MSRAnalyticsState::removeDeferredResetOnDeniedConsent() { suite()->removeObjectForKey("deferred_consent_reset"); }

void MSRAnalyticsState::persistConsentSettings(const foundation::Value::Dictionary& settings, int64_t source) {
    const char* key = source == 5 ? "consent_settings_tcf" : source < 21 ? "consent_settings_3p" : "consent_settings";
    suite()->setObject(settings, key);
    suite()->setObject(foundation::Value(source), "consent_source");
}

int64_t MSRAnalyticsState::persistedConsentSource() {
    return suite()->numberForKey("consent_source").integerValue().value_or(MSRConsentSettingsUtil::kSourceNone);
}

void MSRAnalyticsState::clearConsent() {
    for (const char* key : {"consent_source", "consent_settings_3p", "consent_settings", "consent_settings_on_start",
                            "deferred_consent_reset", "consent_settings_tcf"})
        suite()->removeObjectForKey(key);
    MSRConsentSettingsUtil::clearAllSettings();
}

MSRAnalyticsState::ConsentTurn MSRAnalyticsState::consentTurn() { return ConsentTurn(consentOfThisRun().mutex); }

void MSRAnalyticsState::noteConsentCall(const ConsentTurn&, const ConsentCall& call) {
    ConsentOfThisRun& run = consentOfThisRun();
    if (run.chosen) return;
    if (!run.earlier) {
        run.earlier = MSRConsentSettingsUtil::explicitSettings();
        for (const char* key : kConsentKeysOfACall) run.earlierStored[key] = suite()->objectForKey(key);
    }
    // Calls of one source in a row merge, as they merged when made.
    if (!run.callsBefore.empty() && run.callsBefore.back().source == call.source) {
        for (const auto& [type, status] : call.settings) run.callsBefore.back().settings[type] = status;
    } else {
        run.callsBefore.push_back(call);
    }
}

bool MSRAnalyticsState::beginStartConsentChoice(const ConsentTurn&, std::vector<ConsentCall>* callsBefore) {
    ConsentOfThisRun& run = consentOfThisRun();
    if (run.chosen) return false;
    run.chosen = true;
    if (run.earlier) {
        MSRConsentSettingsUtil::restoreExplicitSettings(*run.earlier);
        for (const auto& [key, value] : run.earlierStored) suite()->setObject(value, key);
    }
    *callsBefore = std::exchange(run.callsBefore, {});
    run.earlier.reset();
    run.earlierStored.clear();
    return true;
}

void MSRAnalyticsState::resetForTesting() {
    {
        ConsentOfThisRun& run = consentOfThisRun();
        std::lock_guard lock(run.mutex);
        run.chosen = false;
        run.earlier.reset();
        run.earlierStored.clear();
        run.callsBefore.clear();
    }
    std::lock_guard lock(analyticsState().mutex);
    analyticsState().loadTimestamp = dispatch::Clock::now();
    analyticsState().gate = std::make_shared<dispatch::OperationGate>(kOperationQueueName, /*startSuspended=*/true);
    analyticsState().listeners.reset();
    analyticsState().nextToken = 1;
}
