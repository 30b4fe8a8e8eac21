#pragma once

// The engine's start-up and wipe: the one-time start of its components on the
// worker queue (the wipe decision, database, settings, collaborators from the
// component registry), switching collection on and off, the wipe and reset of
// its data, the reports the start makes, and the application's foreground and
// background notifications. It works on the engine's state; its operations are
// the engine's (MSRMeasurementRoad.h).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/core/MSRMeasurementRoad.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/foundation/Value.h"

// An automatic event kept as pending until its commit. Older builds kept one
// record per event name, under the name and without a name of its own: a
// start after an upgrade reads those as records of their key's event.
struct MSRPendingAutomaticEvent {
    std::string name;
    double timestamp = 0;
    foundation::Value::Dictionary parameters;
    // The events of the name the store held just before this one was handed
    // over: it was committed once the store holds more.
    std::optional<int64_t> recorded;
};

class MSRStartUpAndWipe : public MSRMeasurementRoad {
public:
    using MSRMeasurementRoad::MSRMeasurementRoad;

    bool shouldEnableMeasurement() const;
    void setEnabledOnWorkerQueue(bool enable);
    bool startMeasurementOnWorkerQueue();
    bool shouldWipeDataWithAppID(const std::string& appID, const std::optional<std::string>& appIDFromZMP,
                                 const std::optional<std::string>& appIDFromAdzev,
                                 const std::optional<std::string>& persistedAppIDFromZMP,
                                 const std::optional<std::string>& persistedAppIDFromAdzev) const;
    // Once per process: the consent an earlier run left, chosen among its
    // sources, then the application's calls of this run made before it.
    void setProspectiveConsentSettings();
    void updatePersistedAppIDFromZMPAndAdzev();
    bool wipeoutAnalyticsDataAndResetComponents();
    void reportFirstOpenOnWorkerQueue();
    // Schedules the session start of the engine's start on the worker queue.
    void reportSessionStart();
    // A prewarmed launch: the session starts when the first scene connects
    // (once, whoever posts it).
    void reportSessionStartWhenSceneWillConnectOnWorkerQueue();
    void reportAppUpdateOnWorkerQueue();
    void reportOSUpdateOnWorkerQueue();
    // A deep link stored before the engine was ready becomes a campaign event;
    // `clickTimestampMillis` is the click time to report, when known.
    void reportStoredCampaignEventOnWorkerQueue(std::optional<int64_t> clickTimestampMillis);
    bool shouldAllowAdNetworkRegistration();
    // Seconds since 1970; 0 when unknown.
    double firstOpenTimestamp();
    // Answered by the receipt reading the reporters register.
    bool isVersionSameAsOriginalVersion();
    // The file-system facts of `path` ("NSFileType", "NSFileSize",
    // "NSFilePosixPermissions", "NSFileModificationDate"); nothing for an empty
    // path or one that cannot be read (logged).
    static std::optional<foundation::Value::Dictionary> fileAttributesForPath(const std::string& path);
    void subscribeForAppForegroundBackgroundNotifications();
    // The application's notifications (main thread): becoming active fetches
    // settings older than a week, resigning active holds a background task
    // and queues an upload behind every call already queued.
    void handleAppDidBecomeActiveEvent();
    void handleAppWillResignActiveEvent();
    void backfillSessionNumber();

private:
    bool initializeComponentsOnWorkerQueue();
    void chooseProspectiveConsentSettings();
    bool writeCheckedProperty(const std::string& name, const MSRValue& value, double timestamp, int64_t queryCode,
                              std::string_view queryMessage, int64_t missingCode, std::string_view missingMessage);
    void reportVersionChange(const std::string& current, std::optional<std::string> stored,
                             void (MSRPersistedConfig::*store)(const std::optional<std::string>&),
                             const char* eventName, const char* parameterName);
    // An automatic event written once whatever the moment of a kill: the
    // dictionary keeps it as pending, under a key of its own, together with
    // `recordChange` (what says it happened), on disk before it is handed to
    // the store; its own commit ends its record. A start that finds a record
    // whose event the store never got hands it over again
    // (resumePendingAutomaticEvents).
    void handOverOnce(const std::string& name, double timestamp, const foundation::Value::Dictionary& parameters,
                      const std::function<void()>& recordChange);
    // `key` is the event's record; none when it has none.
    void handOverPending(const std::optional<std::string>& key, const MSRPendingAutomaticEvent& event);
    void resumePendingAutomaticEvents();
    // The events of `name` the store ever recorded: those in bundles and
    // those still stored; nothing when they cannot be counted (logged).
    std::optional<int64_t> recordedEventCount(const std::string& name);
    // The same once the writes waiting in the open group are committed.
    std::optional<int64_t> committedEventCount(const std::string& name);
    // The campaign events ("_cmp" and "_cmpx") committed so far.
    std::optional<int64_t> committedCampaignEventCount();
    // Whether a parked link waits for its campaign event, once a report of
    // it made earlier in this process is committed (which removes it).
    bool hasUnreportedParkedLink();
    // Forgets a stored deep link older than the attribution cache time.
    void clearStaleDeepLink();
};
