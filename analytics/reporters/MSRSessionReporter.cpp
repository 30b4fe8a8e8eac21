#include "analytics/reporters/MSRSessionReporter.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRScreenViewReporterInterface.h"
#include "analytics/reporters/MSRReporterSupport.h"
#include "analytics/reporters/MSRScreen.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRAlarm.h"
#include "analytics/support/MSRStoredCount.h"
#include "analytics/support/MSRStoredTime.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedSlot.h"

namespace {

// One "_e" carries at most an hour.
constexpr double kMaxEngagementSeconds = 3600;
// Engagement kept before the engine's start: a few moments of a launch, more
// only from a start that never comes.
constexpr size_t kMaxHeldBackEvents = 64;

foundation::SharedSlot<MSRSessionReporter>& currentSlot() {
    static foundation::SharedSlot<MSRSessionReporter> slot;
    return slot;
}

std::shared_ptr<MSRRemoteConfig> settings() {
    return MSRMeasurement::remoteConfigShared();
}

double uptime() {
    return dispatch::Clock::uptimeNow();
}

void logEvent(const char* name, const MSRParameters& parameters) {
    MSRAnalytics::logInternalEventWithOrigin("auto", name, MSRObjectsFromParameters(parameters));
}

}  // namespace

std::shared_ptr<MSRSessionReporter> MSRSessionReporter::initWithPersistedConfig(
    std::shared_ptr<MSRPersistedConfig> config) {
    std::shared_ptr<MSRSessionReporter> reporter(new MSRSessionReporter(std::move(config)));
    currentSlot().set(reporter);
    return reporter;
}

std::shared_ptr<MSRSessionReporter> MSRSessionReporter::current() {
    return currentSlot().get();
}

std::shared_ptr<MSRSessionReporter> MSRSessionReporter::currentOrMake() {
    return currentSlot().getOrMake([] {
        return std::shared_ptr<MSRSessionReporter>(
            new MSRSessionReporter(MSRPersistedConfig::sharedInstance()));
    });
}

std::shared_ptr<MSRSessionReporterInterface> MSRSessionReporter::makeForEngine(
    std::shared_ptr<MSRPersistedConfig> config, std::weak_ptr<MSRMeasurement> engine) {
    auto reporter = current();
    if (reporter && reporter->persistedConfig_ == config && !reporter->takenByEngine_.exchange(true)) {
        reporter->engine_ = std::move(engine);
        return reporter;
    }
    reporter = initWithPersistedConfig(std::move(config));
    reporter->takenByEngine_ = true;
    reporter->engine_ = std::move(engine);
    return reporter;
}

MSRSessionReporter::MSRSessionReporter(std::shared_ptr<MSRPersistedConfig> config)
    : persistedConfig_(std::move(config)),
      queue_(dispatch::SerialQueue::create(kQueueLabel)),
      userEngagementTimer_(std::make_unique<MSRAlarm>(queue_, "Engagement timer")),
      engagementStartUptime_(uptime()),
      freerideEngagementStartUptime_(engagementStartUptime_),
      timeoutSessionInterval_(settings()->sessionDefaultTimeoutInterval()) {}

MSRSessionReporter::~MSRSessionReporter() {
    // The timer is the queue's: it goes there, after any firing already queued.
    // After the end of the queues nothing fires any more and the cancel is
    // done here; it is no work of anyone's that the end dropped.
    auto timer = std::shared_ptr<MSRAlarm>(std::move(userEngagementTimer_));
    if (!queue_->asyncUnlessEnded([timer] { timer->cancel(); })) timer->cancel();
}

void MSRSessionReporter::onQueue(const std::function<void()>& block) {
    queue_->syncOrRunIfCurrent(block);
}

// ---- expiry and the session properties ----------------------------------------

bool MSRSessionReporter::isSessionExpiredOnQueue() {
    // Absolute: a clock set back also ends the session. A last activity that
    // is not a time is none (a comparison with NaN would hold the session
    // open for ever).
    const double last =
        MSRFiniteStoredTime(persistedConfig_ ? persistedConfig_->lastSessionActivityClockTime() : 0);
    return std::fabs(dispatch::Clock::now() - last) > timeoutSessionInterval_;
}

bool MSRSessionReporter::isSessionExpired() {
    bool expired = false;
    onQueue([&] { expired = isSessionExpiredOnQueue(); });
    return expired;
}

bool MSRSessionReporter::shouldStartNewSession() {
    return MSRIsAppActive() && isSessionExpired();
}

void MSRSessionReporter::extendSession() {
    onQueue([&] {
        if (!isSessionExpiredOnQueue() && persistedConfig_)
            persistedConfig_->setLastSessionActivityClockTime(dispatch::Clock::now());
    });
}

void MSRSessionReporter::setTimeoutSessionInterval(double seconds) {
    if (seconds < 0) {
        MSRReporterLog(3, 33001, "Received negative timeout session duration. Setting to 0.0 instead.");
        seconds = 0;
    }
    onQueue([&] { timeoutSessionInterval_ = seconds; });
}

double MSRSessionReporter::timeoutSessionInterval() {
    double seconds = 0;
    onQueue([&] { seconds = timeoutSessionInterval_; });
    return seconds;
}

void MSRSessionReporter::updatePropertiesForNewSessionStartOnQueue() {
    if (!persistedConfig_) return;
    persistedConfig_->setSessionNumber(MSRNextCount(persistedConfig_->sessionNumber()));
    persistedConfig_->setLastSessionActivityClockTime(dispatch::Clock::now());
}

void MSRSessionReporter::updatePropertiesForNewSessionStart() {
    onQueue([&] { updatePropertiesForNewSessionStartOnQueue(); });
}

std::optional<MSRUserAttribute> MSRSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
    // Whole seconds; a time no int64 holds (a stored one that is no time)
    // gives no identifier rather than an undefined one.
    if (!(std::fabs(timestamp) < 9.2e18)) return std::nullopt;
    return MSRUserAttribute::initWithOrigin("auto", "_sid", MSRValue(static_cast<int64_t>(timestamp)),
                                            timestamp);
}

std::optional<MSRUserAttribute> MSRSessionReporter::sessionNumberProperty() {
    const int64_t number = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
    return MSRUserAttribute::initWithOrigin("auto", "_sno", MSRValue(number), dispatch::Clock::now());
}

void MSRSessionReporter::setSessionID(const std::optional<int64_t>& sessionID,
                                      const std::optional<int64_t>& sessionNumber) {
    auto object = [](const std::optional<int64_t>& value) -> std::optional<MSRObject> {
        if (!value) return std::nullopt;
        return MSRObject(MSRValue(*value));
    };
    MSRAnalytics::setInternalUserProperty(object(sessionID), "_sid", "auto");
    MSRAnalytics::setInternalUserProperty(object(sessionNumber), "_sno", "auto");
}

void MSRSessionReporter::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                      bool appInBackground) {
    // The engine's own start reports its first session, before it is shared.
    std::shared_ptr<MSRMeasurement> engine = engine_.lock();
    if (!engine) engine = MSRMeasurement::sharedInstance();
    if (!engine) return;
    bool expired = false;
    int64_t number = 0;
    onQueue([&] {
        expired = isSessionExpiredOnQueue();
        if (!expired) return;
        updatePropertiesForNewSessionStartOnQueue();
        number = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
    });
    if (!expired) return;
    // The session begun is on disk before its "_s" can be committed: a
    // process ended in between leaves a session that the next start finds
    // unrecorded and begins again, never one recorded that it begins a
    // second time.
    if (persistedConfig_) persistedConfig_->synchronizeToDisk();
    if (auto sessionID = sessionIDPropertyWithTimestamp(timestamp))
        engine->setUserAttributeOnWorkerQueue(*sessionID);
    if (auto sessionNumber = sessionNumberProperty()) engine->setUserAttributeOnWorkerQueue(*sessionNumber);
    if (auto event = MSRSessionStartEvent(number, appInBackground, timestamp))
        engine->handleEventOnWorkerQueue(*event);
}

std::optional<MSREvent> MSRSessionStartEvent(int64_t sessionNumber, bool appInBackground, double timestamp) {
    MSRParameters parameters{{"_sid", MSRValue(static_cast<int64_t>(timestamp))},
                             {"_sno", MSRValue(sessionNumber)}};
    if (appInBackground && settings()->appInBackgroundParameterEnabled()) {
        parameters.emplace("_aib", MSRValue(int64_t{1}));
    } else if (auto screen = MSRScreenViewReporterInterface::shared()) {
        if (auto screenParameters = screen->screenParameters())
            parameters.insert(screenParameters->begin(), screenParameters->end());
    }
    return MSREvent::initWithOrigin("auto", false, "_s", timestamp, 0, MSRObjectsFromParameters(parameters));
}

// ---- sessions while active ----------------------------------------------------

void MSRSessionReporter::logSessionStartEvent() {
    if (!MSRIsAppActive()) {
        MSRReporterLog(7, 33005, "Session start event not logged. Application is not active");
        return;
    }
    if (!reporting()) return;
    updatePropertiesForNewSessionStartOnQueue();
    // On disk before the "_s" is handed over, as at the engine's start.
    if (persistedConfig_) persistedConfig_->synchronizeToDisk();
    const auto sessionID = static_cast<int64_t>(dispatch::Clock::now());
    const int64_t number = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
    setSessionID(sessionID, number);
    logEvent("_s", {{"_sid", MSRValue(sessionID)}, {"_sno", MSRValue(number)}});
}

void MSRSessionReporter::startSessionIfDueOnQueue() {
    sessionCheckedSinceActivation_ = reporting();
    if (!reporting() || !MSRIsAppActive() || !isSessionExpiredOnQueue()) return;
    setSessionID(std::nullopt, std::nullopt);
    logSessionStartEvent();
}

void MSRSessionReporter::handleAppDidBecomeActive() {
    onQueue([&] {
        engagementStartUptime_ = freerideEngagementStartUptime_ = uptime();
        rescheduleUserEngagementTimer();
        startSessionIfDueOnQueue();
    });
}

void MSRSessionReporter::logOrHoldBack(const char* name, const MSRParameters& parameters) {
    if (reporting()) {
        logEvent(name, parameters);
    } else if (!reportingEnabled_.has_value() && heldBack_.size() < kMaxHeldBackEvents) {
        heldBack_.push_back({name, parameters, dispatch::Clock::now()});
    }
}

void MSRSessionReporter::setReportingEnabled(bool enabled) {
    onQueue([&] {
        reportingEnabled_ = enabled;
        for (const HeldBackEvent& event : std::exchange(heldBack_, {})) {
            if (!enabled) break;
            MSRAnalytics::logInternalEventWithOrigin("auto", event.name, event.timestamp,
                                                     MSRObjectsFromParameters(event.parameters));
        }
        if (!enabled) {
            userEngagementTimer_->cancel();
            return;
        }
        if (!MSRIsAppActive()) return;
        if (!userEngagementTimer_->scheduledTimestamp()) rescheduleUserEngagementTimer();
        // The engine starts on its own queue while the application launches:
        // an activation it was too late to hear of still gets its session.
        if (!sessionCheckedSinceActivation_) startSessionIfDueOnQueue();
    });
}

bool MSRSessionReporter::isReportingEnabled() {
    bool enabled = false;
    onQueue([&] { enabled = reporting(); });
    return enabled;
}

// ---- engagement ---------------------------------------------------------------

double MSRSessionReporter::incurredEngagementTime() {
    const double start = settings()->efficientEngagementReportingEnabled() ? freerideEngagementStartUptime_
                                                                           : engagementStartUptime_;
    const double incurred = uptime() - start;
    if (incurred < 0) {
        MSRReporterLog(4, 33004, "Incurred engagement time is negative. Setting to 0.0 instead");
        return 0;
    }
    return incurred;
}

int64_t MSRSessionReporter::logEngagementEventAndReturnTimeWithScreen(const MSRScreen* screen,
                                                                      bool isRedundant) {
    if (!MSRIsAppActive()) {
        MSRReporterLog(7, 33006, "User engagement event not logged. Application is not active");
        return 0;
    }
    const bool efficient = settings()->efficientEngagementReportingEnabled();
    int64_t millis = 0;
    if (reportingEnabled_ != false) {
        millis = static_cast<int64_t>(std::min(incurredEngagementTime(), kMaxEngagementSeconds) * 1000);
        MSRParameters parameters{{"_et", MSRValue(millis)}};
        if (screen) {
            const MSRParameters screenParameters = MSRScreenEventParameters(*screen);
            parameters.insert(screenParameters.begin(), screenParameters.end());
        }
        if (efficient && isRedundant) parameters.emplace("_fr", MSRValue(int64_t{1}));
        logOrHoldBack("_e", parameters);
    }
    engagementStartUptime_ = uptime();
    if (efficient && !isRedundant) freerideEngagementStartUptime_ = engagementStartUptime_;
    // Before the engine has spoken no session has begun: the engine's start
    // begins it, however long the application was in use before.
    if (persistedConfig_ && reportingEnabled_.has_value())
        persistedConfig_->setLastSessionActivityClockTime(dispatch::Clock::now());
    rescheduleUserEngagementTimer();
    return millis;
}

void MSRSessionReporter::logUserEngagementEvent() {
    onQueue([&] { logEngagementEventAndReturnTimeWithScreen(nullptr, false); });
}

int64_t MSRSessionReporter::cutFreerideEngagementTimeMillis() {
    int64_t millis = 0;
    onQueue([&] {
        if (!settings()->efficientEngagementReportingEnabled()) return;
        const double incurred = incurredEngagementTime();
        freerideEngagementStartUptime_ = uptime();
        millis = static_cast<int64_t>(incurred * 1000);
    });
    return millis;
}

void MSRSessionReporter::handleScreenDidChangeFromScreen(const MSRScreen* previous, const MSRScreen*) {
    if (!previous) return;
    onQueue([&] {
        if (incurredEngagementTime() < 1) return;
        const bool efficient = settings()->efficientEngagementReportingEnabled();
        if (efficient && settings()->redundantEngagementRemovalEnabled()) return;
        logEngagementEventAndReturnTimeWithScreen(previous, efficient);
    });
}

void MSRSessionReporter::handleAppWillResignActiveWithScreen(const MSRScreen* screen) {
    onQueue([&] {
        const bool backgrounded = settings()->appBackgroundedEventEnabled();
        int64_t millis = 0;
        if (backgrounded && settings()->redundantEngagementRemovalEnabled()) {
            millis = cutFreerideEngagementTimeMillis();
        } else {
            millis = logEngagementEventAndReturnTimeWithScreen(screen, backgrounded);
        }
        logAppBackgroundEvent(millis);
        userEngagementTimer_->cancel();
    });
}

void MSRSessionReporter::logAppBackgroundEvent(int64_t millis) {
    if (reportingEnabled_ == false || !settings()->appBackgroundedEventEnabled()) return;
    if (!MSRIsAppActive()) {
        MSRReporterLog(7, 33008, "App backgrounded event not logged. Application is not active");
        return;
    }
    MSRParameters parameters;
    if (millis >= 1 && settings()->efficientEngagementReportingEnabled())
        parameters.emplace("_et", MSRValue(millis));
    logOrHoldBack("_ab", parameters);
}

void MSRSessionReporter::rescheduleUserEngagementTimer() {
    std::weak_ptr<MSRSessionReporter> weak = weak_from_this();
    userEngagementTimer_->runAfterDelay(settings()->sessionEventUserEngagementInterval(), [weak] {
        // The ad-exposure reporter flushes its open units on this beat.
        foundation::NotificationCenter::defaultCenter().post(kEngagementTimerDidFireNotification);
        if (auto reporter = weak.lock()) reporter->logUserEngagementEvent();
    });
}
