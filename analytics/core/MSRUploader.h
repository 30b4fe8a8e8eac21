#pragma once

// The engine's upload road: when the next upload runs (the alarm, back-off and
// suspension), the background task that keeps the application alive for it,
// and the batch upload itself with its answer. It works on the engine's state
// (its operations are the engine's, MSRMeasurementRoad.h) and asks for a
// configuration fetch through the engine's hook, since the fetch in turn
// schedules uploads.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementRoad.h"

class MSRUploader : public MSRMeasurementRoad {
public:
    using MSRMeasurementRoad::MSRMeasurementRoad;

    // ---- suspension ----
    // The engine's monotonic uptime in seconds (the dispatch clock's, so
    // tests move it). Suspensions are measured on it: a change of the wall
    // clock neither lengthens nor ends them.
    double uptime() const;
    // Holds every upload back from now for kUploadSuspensionInterval seconds
    // of uptime.
    void suspendUploads();
    // Seconds of suspension left, 0 when uploads may run; a suspension that
    // has run out is cleared here.
    double remainingUploadSuspension();

    // ---- schedule ----
    void updateSchedule();
    // Seconds since 1970; 0 when nothing is to be uploaded.
    double nextUploadingTime();
    void uploadDataOrRegisterAlarm();

    // ---- the upload run ----
    bool isNetworkReadyForRequest();
    bool shouldUseBackgroundSession();
    // The longest prefix of `bundlesToUpload` that may travel in one batch:
    // same app ID as given and, when a device ID is given, the same one of
    // that kind. Giving both device IDs is refused (empty answer, logged).
    std::vector<MSRQueuedBundle> filteredBundlesWithCompatibleAppID(
        const std::string& appID, const std::string& resettableDeviceID, const std::string& vendorDeviceID,
        const std::vector<MSRQueuedBundle>& bundlesToUpload);
    void setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs);
    // An upload run, with the queue work of an upload (see
    // MSRDatabase::refillQueueWork) for the passes it chains.
    void uploadData();
    void incrementRetryCounter();
    void networkUploadCompletionHandlerWithResponse(const net::Response& response,
                                                    const std::optional<net::Error>& error);

    // ---- the background task and the queue ----
    // Ends the task held before (0: none), logging its id.
    void swapBackgroundTaskWithNewTaskID(uint64_t taskID);
    // Queue rows and raw events waiting.
    bool hasDataToUpload();
    // Synchronizes the persisted configuration and ends the background task.
    void terminateBackgroundTask();
    // False (logged 23122) when the queue rows could not be deleted.
    bool removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& rowIDs);

private:
    // The collaborators every upload step needs; entries return early
    // without them.
    bool hasUploadComponents() const;
    // An absent network component counts as "not connected".
    bool isNetworkConnectedForUpload() const;
    // No upload is scheduled: the alarm is cancelled and the background task
    // ended; the engine waits for the network as reachability delegate only
    // when `waitForNetwork`.
    void stopUploadSchedule(bool waitForNetwork);
    // Sets the alarm that runs an upload after `delay` seconds.
    void runUploadAfterDelay(double delay);
    // An upload run within what is left of the queue work: a pass chained
    // behind one that ended at its budget.
    void uploadDataWithinQueueWork();
    // Stamps the current consent and identity onto queued bundles.
    void restampConsentOnBundles(std::vector<MSRQueuedBundle>& bundles, const MSRBundleIdentity& identity);
    // A failed post: the failure time (and back-off), the retry counts, and
    // the next run.
    void recordUploadFailure(int statusCode, bool backoff, const std::string& errorDescription);
};
