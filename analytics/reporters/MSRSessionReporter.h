#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSREvent.h"
#include "analytics/model/MSRUserAttribute.h"
#include "platform/dispatch/SerialQueue.h"

class MSRAlarm;
class MSRMeasurement;
class MSRPersistedConfig;
struct MSRScreen;

// Sessions and engagement. A session ends after `timeoutSessionInterval`
// seconds without activity (wall clock, either direction); a new one starts
// with "_s" and the user properties "_sid" and "_sno" when the application
// becomes active. Foreground time is reported as "_e" with "_et" in ms on the
// engagement timer, on screen changes and when the application resigns
// active. Engagement is measured on the monotonic clock, so a change of the
// wall clock neither adds nor takes away engagement.
//
// The engine makes one per start (and after a wipe) and calls it on its worker
// queue; the screen-view reporter calls it on the main thread and on its own
// queue. Every field and the engagement timer live on the reporter's serial
// queue "MSRSessionReporter": the entry points run their work there.
class MSRSessionReporter : public MSRSessionReporterInterface,
                           public std::enable_shared_from_this<MSRSessionReporter> {
  public:
    static constexpr const char* kQueueLabel = "MSRSessionReporter";
    static constexpr const char* kEngagementTimerDidFireNotification =
        "kMSRSessionReporterEngagementTimerDidFire";

    static std::shared_ptr<MSRSessionReporter> initWithPersistedConfig(
        std::shared_ptr<MSRPersistedConfig> config);
    // The reporter of the application's activity: the one the engine made
    // last, or none yet.
    static std::shared_ptr<MSRSessionReporter> current();
    // The current one, made on the shared persisted configuration when there
    // is none: the application becomes active before the engine, which starts
    // on its own queue, has made its components. The engine's maker takes
    // this one over (makerForEngine).
    static std::shared_ptr<MSRSessionReporter> currentOrMake();
    // What the engine's component registry makes: the reporter that already
    // follows the application, when it works on the engine's configuration,
    // else a new one (at the start, and after a wipe).
    // `engine` is the one that reports its sessions through it; it may start
    // before it becomes the shared instance.
    static std::shared_ptr<MSRSessionReporterInterface> makeForEngine(
        std::shared_ptr<MSRPersistedConfig> config, std::weak_ptr<MSRMeasurement> engine = {});
    ~MSRSessionReporter() override;

    // The engine's (worker queue).
    bool isSessionExpired() override;
    void extendSession() override;
    void setTimeoutSessionInterval(double seconds) override;
    void setReportingEnabled(bool enabled) override;
    void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) override;
    bool isReportingEnabled();
    double timeoutSessionInterval();
    bool shouldStartNewSession();
    // Session number + 1, last activity now.
    void updatePropertiesForNewSessionStart();
    std::optional<MSRUserAttribute> sessionIDPropertyWithTimestamp(double timestamp);
    std::optional<MSRUserAttribute> sessionNumberProperty();

    // The screen-view reporter's.
    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const MSRScreen* screen);
    void handleScreenDidChangeFromScreen(const MSRScreen* previous, const MSRScreen* screen);
    // Engagement not yet handed to a "_vs" or "_ab" (efficient reporting only).
    int64_t cutFreerideEngagementTimeMillis();
    // "_e" with no screen, as the engagement timer logs it.
    void logUserEngagementEvent();

  private:
    explicit MSRSessionReporter(std::shared_ptr<MSRPersistedConfig> config);
    void onQueue(const std::function<void()>& block);
    // Off until the engine switches it on. Sessions begin only then: an
    // activation before that is the engine start's to report, and its "_s"
    // then comes before the screens seen meanwhile. Engagement is not logged
    // before then either, but it is kept (see heldBack_).
    bool reporting() const { return reportingEnabled_.value_or(false); }
    // Logs "_e" or "_ab" now, or keeps it while the engine has not spoken yet.
    void logOrHoldBack(const char* name, const MSRParameters& parameters);
    // The steps below run on the queue.
    bool isSessionExpiredOnQueue();
    void updatePropertiesForNewSessionStartOnQueue();
    void startSessionIfDueOnQueue();
    void logSessionStartEvent();
    int64_t logEngagementEventAndReturnTimeWithScreen(const MSRScreen* screen, bool isRedundant);
    void logAppBackgroundEvent(int64_t millis);
    double incurredEngagementTime();
    void rescheduleUserEngagementTimer();
    void setSessionID(const std::optional<int64_t>& sessionID, const std::optional<int64_t>& sessionNumber);

    std::shared_ptr<MSRPersistedConfig> persistedConfig_;
    std::shared_ptr<dispatch::SerialQueue> queue_;
    std::unique_ptr<MSRAlarm> userEngagementTimer_;
    double engagementStartUptime_ = 0;
    double freerideEngagementStartUptime_ = 0;
    // Nothing until the engine says; unset and off differ only in whether a
    // session's activity time is kept.
    std::optional<bool> reportingEnabled_;
    // Engagement measured before the engine switched reporting on, with the
    // time it was measured: logged once the engine switches it on, dropped if
    // the engine switches it off. A short first run often ends before the
    // engine's start, and its engagement would otherwise be lost.
    struct HeldBackEvent {
        const char* name;
        MSRParameters parameters;
        double timestamp;
    };
    std::vector<HeldBackEvent> heldBack_;
    std::atomic<bool> takenByEngine_{false};
    // Set once by makeForEngine before the engine calls it; read on its worker.
    std::weak_ptr<MSRMeasurement> engine_;
    double timeoutSessionInterval_ = 0;
    // Whether the session was checked since the application last became
    // active: an activation seen before reporting was on is checked once it is.
    bool sessionCheckedSinceActivation_ = false;
};

// "_s" as the engine writes it for a session started by an event: "_sid",
// "_sno" and either "_aib" = 1 (in the background, when the setting allows) or
// the current screen's parameters.
std::optional<MSREvent> MSRSessionStartEvent(int64_t sessionNumber, bool appInBackground, double timestamp);
