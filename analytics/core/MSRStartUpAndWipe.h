#pragma once

// The engine's start-up and wipe: the one-time start of its components on the
// worker queue (the wipe decision, database, settings, collaborators from the
// component registry), switching collection on and off, the wipe and reset of
// its data, the reports the start makes, and the application's foreground and
// background notifications. It works on the engine's state; its operations are
// the engine's (MSRMeasurementRoad.h).

#include <optional>
#include <string>

#include "analytics/core/MSRMeasurementRoad.h"

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
    void setProspectiveConsentSettings();
    void updatePersistedAppIDFromZMPAndAdzev();
    bool wipeoutAnalyticsDataAndResetComponents();
    void reportFirstOpenOnWorkerQueue();
    void reportAppUpdateOnWorkerQueue();
    void reportOSUpdateOnWorkerQueue();
    // Launch URLs and the deferred deep link have their own road; until it
    // exists nothing is stored, so nothing is reported or requested.
    void reportStoredCampaignEventOnWorkerQueue();
    bool shouldAllowRequestDeferredDeepLink();
    void subscribeForAppForegroundBackgroundNotifications();
    // The application's notifications (main thread): becoming active fetches
    // settings older than a week, resigning active holds a background task
    // and queues an upload behind every call already queued.
    void handleAppDidBecomeActiveEvent();
    void handleAppWillResignActiveEvent();
    void backfillSessionNumber();

private:
    bool initializeComponentsOnWorkerQueue();
    // Forgets a stored deep link older than the attribution cache time.
    void clearStaleDeepLink();
};
