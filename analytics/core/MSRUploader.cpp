// The upload road of the engine: when the next upload runs, the run itself
// (bundling, consent restamp, grouping into one batch, the post) and the
// handling of the collector's answer. Everything here runs on the worker
// queue; the network component answers there too.

#include "analytics/core/MSRUploader.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRBundler.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRTCFClient.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRStoredTime.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/ui/Application.h"

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kShortestSuspension = 0.001;
constexpr const char* kUploadBlockID = "MSRMeasurement:1773";
constexpr uint64_t kInvalidUploadBackgroundTask = ui::Application::invalidBackgroundTask;

void uploadLog(int64_t level, int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
    if (auto monitor = MSRMeasurement::monitor()) monitor->logWithLevel(level, code, message, contexts);
}

bool hasError(const MSRError& error) { return error.code() != 0 || !error.domain().empty(); }

// Reports with two contexts build them in place: copied out of an
// initializer list, GCC's sanitizer builds take the contexts' variants for
// possibly uninitialized.
std::vector<MSRLogContext> contexts(int64_t first, int64_t second) {
    std::vector<MSRLogContext> list;
    list.reserve(2);
    list.emplace_back(first);
    list.emplace_back(second);
    return list;
}
std::vector<MSRLogContext> contexts(int64_t first, const std::string& second) {
    std::vector<MSRLogContext> list;
    list.reserve(2);
    list.emplace_back(first);
    if (second.empty()) {
        list.emplace_back();
    } else {
        list.emplace_back(second);
    }
    return list;
}

std::string stringSlot(const MSRPBMeasurementBundle& bundle, uint32_t slot) {
    return MSRPBGetString(bundle, slot).value_or(std::string());
}

}  // namespace

// ---------------------------------------------------------------------------
// Suspension
// ---------------------------------------------------------------------------

double MSRUploader::uptime() const { return dispatch::Clock::uptimeNow(); }

void MSRUploader::suspendUploads() {
    // 0 means "not suspended", so a suspension taken at uptime 0 is kept as
    // the smallest positive value instead.
    engine_.suspendedUploadTimestamp_ = std::max(uptime(), std::numeric_limits<double>::min());
}

double MSRUploader::remainingUploadSuspension() {
    if (engine_.suspendedUploadTimestamp_ == 0 || std::isnan(engine_.suspendedUploadTimestamp_)) {
        engine_.suspendedUploadTimestamp_ = 0;
        return 0;
    }
    double elapsed = uptime() - engine_.suspendedUploadTimestamp_;
    // Uptime never runs backwards; a suspension stamped ahead of it can only
    // come from a foreign value and must not hold uploads for ever. What is
    // left below a millisecond is rounding between the uptime and the wall
    // clock the alarm keeps: an alarm set for it would fire at once and find
    // the same remainder, again and again.
    if (elapsed < 0 || elapsed > MSRMeasurement::kUploadSuspensionInterval - kShortestSuspension) {
        engine_.suspendedUploadTimestamp_ = 0;
        return 0;
    }
    return MSRMeasurement::kUploadSuspensionInterval - elapsed;
}

// ---------------------------------------------------------------------------
// Scheduling
// ---------------------------------------------------------------------------

bool MSRUploader::hasUploadComponents() const {
    return engine_.hasComponentsOnWorkerQueue() && engine_.persistedConfig_ && engine_.scheduler_ && engine_.alarm_;
}

bool MSRUploader::isNetworkConnectedForUpload() const { return engine_.network_ && engine_.network_->isNetworkConnected(); }

void MSRUploader::stopUploadSchedule(bool waitForNetwork) {
    if (engine_.network_) engine_.network_->setReachabilityDelegate(waitForNetwork ? &engine_ : nullptr);
    engine_.alarm_->cancel();
    terminateBackgroundTask();
}

void MSRUploader::updateSchedule() {
    if (!hasUploadComponents()) return;
    if (double remaining = remainingUploadSuspension(); remaining > 0) {
        uploadLog(3, 23023, "Upload has been suspended. Will update scheduling later. Seconds", {remaining});
        stopUploadSchedule(false);
        // Later is when the suspension ends: no new event may come along to
        // update the schedule then, and what is stored would wait for one.
        runUploadAfterDelay(remaining);
        return;
    }
    if (!hasDataToUpload()) {
        engine_.remoteConfig_->activateNewSnapshot();
        uploadLog(8, 23024, "No data to upload. Upload task will not be scheduled");
        stopUploadSchedule(false);
        return;
    }
    double uploadTime = nextUploadingTime();
    if (std::fabs(uploadTime) < kEpsilon) {
        uploadLog(8, 23025, "No next uploading time. Upload task will not be scheduled");
        stopUploadSchedule(false);
        return;
    }
    if (!isNetworkConnectedForUpload()) {
        uploadLog(8, 23026, "No network. Upload task will not be scheduled");
        stopUploadSchedule(true);
        return;
    }
    engine_.network_->setReachabilityDelegate(nullptr);

    double now = dispatch::Clock::now();
    // Settled where read, by its rule (MSRPersistedConfig): a back-off
    // stamped ahead of the clock, as a clock set back while running leaves
    // it, is none; taken as now it would hold every upload for its interval.
    double backoff = engine_.persistedConfig_->settledSeconds(&MSRPersistedConfig::lastBackoffTimestamp, now);
    double backoffInterval = engine_.remoteConfig_->uploadingBackoffInterval();
    if (backoff != 0 && now - backoff < backoffInterval) uploadTime = std::max(uploadTime, backoff + backoffInterval);
    // Not before bundles can be stored again (see bundleWriteBackoff_).
    if (engine_.bundleWriteBackoff_.isWaiting(now)) uploadTime = std::max(uploadTime, *engine_.bundleWriteBackoff_.retryTime());

    // One pending run at most, and never later than one already set.
    if (auto scheduled = engine_.alarm_->scheduledTimestamp(); scheduled && *scheduled <= uploadTime) {
        uploadLog(8, 23027, "Do not schedule an upload task. Task already exists. Will be executed in seconds",
                  {*scheduled - now});
        return;
    }
    double delay = uploadTime - now;
    if (std::fabs(delay) < kEpsilon) delay = 0.001;
    runUploadAfterDelay(delay);
    uploadLog(8, 23028, "Upload task scheduled to be executed in approx. (s)", {delay});
}

void MSRUploader::runUploadAfterDelay(double delay) {
    std::weak_ptr<MSRMeasurement> weakSelf = engine_.weak_from_this();
    engine_.alarm_->runAfterDelay(delay, [weakSelf] {
        auto engine = weakSelf.lock();
        if (!engine || !engine->scheduler_) return;
        engine->scheduleOrderFreeOnWorkerQueue(kUploadBlockID, [weakSelf] {
            if (auto self = weakSelf.lock()) self->uploader().uploadData();
        });
    });
}

double MSRUploader::nextUploadingTime() {
    if (!hasUploadComponents()) return 0;
    MSRError rawError;
    std::optional<double> latestRaw = engine_.database_->queryLatestRawEventTime(&rawError);
    if (!latestRaw && hasError(rawError)) {
        uploadLog(5, 23029, "Failed to query latest raw event time. Error", {rawError});
    }
    MSRError bundleError;
    std::optional<double> latestBundle = engine_.database_->queryLatestBundleTime(&bundleError);
    if (!latestBundle && hasError(bundleError)) {
        uploadLog(5, 23030, "Failed to query latest bundle time. Error", {bundleError});
    }
    double latest = std::max(latestRaw.value_or(0), latestBundle.value_or(0));
    if (latest == 0) return 0;

    bool debugMode = MSRMeasurement::monitor() && MSRMeasurement::monitor()->isDebugModeEnabled();
    auto realtimeWaits = [this] {
        MSRError error;
        std::optional<bool> bundles = engine_.database_->containsRealtimeBundles(&error);
        if (!bundles) uploadLog(5, 23031, "Failed to query for real-time bundle indicator. Error", {error});
        if (bundles.value_or(false)) return true;
        MSRError rawEventError;
        std::optional<bool> rawEvents = engine_.database_->containsRealtimeRawEvents(&rawEventError);
        if (!rawEvents) {
            uploadLog(5, 23032, "Failed to query for real-time raw event indicator. Error", {rawEventError});
        }
        return rawEvents.value_or(false);
    };
    double interval;
    if (debugMode || realtimeWaits()) {
        interval = engine_.remoteConfig_->uploadingRealTimeInterval();
    } else if (engine_.remoteConfig_->SKANUpdateConversionValueEnabled() && engine_.isInFirstSKANPostbackWindow()) {
        interval = engine_.remoteConfig_->SKANFirstWindowUploadInterval();
    } else {
        interval = engine_.remoteConfig_->uploadingInterval();
    }

    double now = dispatch::Clock::now();
    // Data stamped in the future (a clock set back) counts as that far in
    // the past, so it neither waits nor fires early.
    double base = now - std::fabs(latest - now);
    // A success ahead of the clock is mirrored as the data is: read as now,
    // it would hold the uploads of a start for an interval after a clock set
    // back. One that is no number is none.
    double lastSuccess = MSRFiniteStoredTime(engine_.persistedConfig_->lastSuccessfulUploadTimestamp());
    double lastFailed =
        engine_.persistedConfig_->settledSeconds(&MSRPersistedConfig::lastFailedUploadTimestamp, now);
    double next = std::fabs(now - lastSuccess) < interval ? lastSuccess + interval
                                                          : base + engine_.remoteConfig_->uploadingInitialDelayInterval();
    if (lastFailed >= base) {
        // A failure after the newest data: back off exponentially from the
        // regular time, and give up after the last retry until new data or a
        // new failure moves the base.
        double retryInterval = engine_.remoteConfig_->uploadingRetryInterval();
        int32_t retryCount = engine_.remoteConfig_->uploadingRetryCount();
        for (int32_t k = 0; k < retryCount; ++k) {
            next += retryInterval * std::ldexp(1.0, k);
            if (next > lastFailed) return next;
        }
        return 0;
    }
    if (debugMode) return std::min(next, base + engine_.remoteConfig_->uploadingDebugModeInterval());
    return next;
}

void MSRUploader::uploadDataOrRegisterAlarm() {
    if (!hasUploadComponents()) return;
    if (isNetworkConnectedForUpload() && hasDataToUpload()) {
        uploadData();
    } else {
        updateSchedule();
    }
}

// ---------------------------------------------------------------------------
// The upload run
// ---------------------------------------------------------------------------

bool MSRUploader::isNetworkReadyForRequest() {
    bool componentBusy = engine_.network_ && engine_.network_->hasUploadInProgress();
    if (!engine_.isNetworkRequestPending_) return !componentBusy;
    if (!componentBusy) uploadLog(1, 23041, "Analytics is uploading but network is not uploading");
    return false;
}

bool MSRUploader::shouldUseBackgroundSession() {
    return engine_.remoteConfig_ && engine_.remoteConfig_->isNetworkBackgroundSessionEnabled() && engine_.backgroundUpdateTask_.load() != 0;
}

namespace {

// How many of the bundles, from the first, share the app ID and (where both
// have one) the device identifier; nullopt when the filter names both
// identifiers.
std::optional<size_t> compatiblePrefixLength(const std::string& appID, const std::string& resettableDeviceID,
                                             const std::string& vendorDeviceID,
                                             const std::vector<MSRQueuedBundle>& bundles) {
    if (!resettableDeviceID.empty() && !vendorDeviceID.empty()) return std::nullopt;
    bool byResettable = !resettableDeviceID.empty();
    const std::string& filter = byResettable ? resettableDeviceID : vendorDeviceID;
    uint32_t slot = byResettable ? MSRBundleSlot::kResettableDeviceID : MSRBundleSlot::kVendorDeviceID;
    size_t length = 0;
    for (const MSRQueuedBundle& entry : bundles) {
        if (stringSlot(entry.first, MSRBundleSlot::kAppID) != appID) break;
        std::string deviceID = stringSlot(entry.first, slot);
        if (!filter.empty() && !deviceID.empty() && deviceID != filter) break;
        ++length;
    }
    return length;
}

}  // namespace

std::vector<MSRQueuedBundle> MSRUploader::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::string& resettableDeviceID, const std::string& vendorDeviceID,
    const std::vector<MSRQueuedBundle>& bundlesToUpload) {
    std::optional<size_t> length = compatiblePrefixLength(appID, resettableDeviceID, vendorDeviceID, bundlesToUpload);
    if (!length) {
        uploadLog(2, 23042, "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
        return {};
    }
    return std::vector<MSRQueuedBundle>(bundlesToUpload.begin(),
                                        bundlesToUpload.begin() + static_cast<std::ptrdiff_t>(*length));
}

void MSRUploader::setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs) {
    if (bundleIDs.empty()) {
        uploadLog(2, 23046, "Bundle list is empty. Cancelling upload");
        return;
    }
    if (!engine_.uploadingBundleIDs_.empty()) {
        uploadLog(2, 23047, "Set uploading progress before finishing the previous upload");
        return;
    }
    engine_.uploadingBundleIDs_ = bundleIDs;
}

void MSRUploader::restampConsentOnBundles(std::vector<MSRQueuedBundle>& bundles,
                                             const MSRBundleIdentity& identity) {
    bool dmaConsentEnabled = engine_.remoteConfig_->DMAConsentEnabled();
    std::string signals = MSRConsentSettingsUtil::consentSignals();
    bool gate = engine_.remoteConfig_->gateIDFAOnATTMASEnabled();
    // A denial now is applied to everything still queued; otherwise only a
    // first-open bundle (and all after it) takes today's consent.
    bool overwrite = dmaConsentEnabled ? signals.find('0') != std::string::npos : true;
    std::string diagnostics;
    bool adUserDataDenied = false;
    std::optional<MSRPBUserAttribute> npaAttribute;
    if (dmaConsentEnabled) {
        diagnostics = MSRConsentSettingsUtil::consentDiagnostics();
        adUserDataDenied = MSRConsentSettingsUtil::isAdUserDataDenied();
        if (auto stored = engine_.database_->userAttributeWithName("_npa", nullptr)) {
            npaAttribute = stored->protoUserAttribute();
        }
    }
    for (MSRQueuedBundle& entry : bundles) {
        if (!overwrite) overwrite = MSRBundleContainsFirstOpen(&entry.first);
        MSRApplyIdentityFields(entry.first, signals, gate, identity, overwrite);
        if (dmaConsentEnabled) {
            MSRApplyDMAConsentFields(entry.first, diagnostics, adUserDataDenied, npaAttribute, *engine_.remoteConfig_,
                                     overwrite);
        }
    }
}

void MSRUploader::uploadData() {
    if (!hasUploadComponents()) return;
    engine_.database_->refillQueueWork();
    uploadDataWithinQueueWork();
}

void MSRUploader::uploadDataWithinQueueWork() {
    if (!hasUploadComponents()) return;
    // An upload bundles and sends what is stored: once the application
    // ends, the events still queued behind it are stored first.
    engine_.storeEventsHandedOverBeforeTheEnd();
    if (remainingUploadSuspension() > 0) {
        updateSchedule();
        return;
    }
    uploadLog(8, 23033, "Starting data upload");
    if (!isNetworkReadyForRequest()) {
        uploadLog(8, 23034, "Network operation is pending. Ignoring upload request");
        return;
    }
    if (!isNetworkConnectedForUpload()) {
        uploadLog(7, 23035, "Network not connected, ignoring upload request");
        updateSchedule();
        return;
    }

    if (!engine_.remoteConfig_->isExpired() && !engine_.bundleWriteBackoff_.isWaiting(dispatch::Clock::now())) {
        int32_t maxIterations = engine_.remoteConfig_->maxBundlesCreatedPerIteration();
        for (int32_t i = 0; i < maxIterations && engine_.bundler().bundleRawEvents(); ++i) {
        }
    }

    MSRError queryError;
    std::optional<std::vector<MSRQueuedBundle>> bundles = engine_.database_->queryBundlesWithCountLimit(
        engine_.remoteConfig_->uploadMaxBundlesLimit(), engine_.remoteConfig_->uploadMaxSizeLimitBytes(), &queryError);
    if (!bundles) {
        uploadLog(1, 23036, "Failed to query bundles. Error", {queryError});
        terminateBackgroundTask();
        return;
    }
    // A pass that found nothing to send but dropped rows made room: the
    // rows behind it may be the run's own bundles.
    const bool droppedOnly = bundles->empty() && engine_.database_->queueReadEndedAtBudget();
    if (bundles->empty() && engine_.database_->queueWorkSpent() && (!droppedOnly || engine_.applicationEnds())) {
        // The passes of this upload spent its queue work on rows the file
        // would not give, or the application ends: the rows behind wait for
        // the next scheduled upload or the next start, so that nothing, the
        // end included, waits on more than the pass that ran.
        uploadLog(5, 23175, "Queue work of this upload spent on dropped rows. Rows behind wait for the next upload");
        updateSchedule();
        return;
    }
    if (droppedOnly) {
        // The next pass goes on behind them as a block of its own, after
        // whatever waits meanwhile. Rows that are no bundle, however many,
        // never make the events behind them wait for a later upload: once
        // this upload's queue work is spent on them, the next pass has an
        // upload's work of its own, at once, whatever the schedule says.
        // Each pass is bounded, and each deletes what it met.
        if (engine_.database_->queueWorkSpent()) engine_.database_->refillQueueWork();
        std::weak_ptr<MSRMeasurement> weakSelf = engine_.weak_from_this();
        engine_.scheduler_->scheduleOnWorkerQueueBlockID(kUploadBlockID, [weakSelf] {
            if (auto self = weakSelf.lock()) self->uploader().uploadDataWithinQueueWork();
        });
        return;
    }
    if (bundles->empty()) {
        engine_.remoteConfig_->activateNewSnapshot();
        uploadLog(8, 23037, "No data to upload");
        // Events that could not be bundled wait for the retry; nothing else
        // may come along to schedule it.
        if (engine_.bundleWriteBackoff_.failuresInARow() > 0) updateSchedule();
        if (engine_.remoteConfig_->isExpired()) {
            engine_.requestConfigurationFetch_();
        } else {
            terminateBackgroundTask();
        }
        return;
    }

    // Without an endpoint nothing may leave the device: the bundles stay
    // queued untouched (no retry count, no failure time) until one is set.
    std::string uploadURL = engine_.remoteConfig_->uploadURL();
    if (uploadURL.empty()) {
        uploadLog(3, 23058, "No upload URL configured. Bundles stay queued");
        terminateBackgroundTask();
        return;
    }

    if (engine_.tcfClient_ && engine_.remoteConfig_->tcfFeatureEnabled()) engine_.tcfClient_->setConsentFromTCFData();

    MSRBundleIdentity identity = engine_.identity_ ? MSRBundleIdentityFromIdentity(*engine_.identity_) : MSRBundleIdentity{};
    restampConsentOnBundles(*bundles, identity);

    double now = dispatch::Clock::now();
    double lastSuccess = engine_.persistedConfig_->lastSuccessfulUploadTimestamp();
    if (lastSuccess > 0) {
        uploadLog(8, 23038, "Uploading events. Elapsed time since last successful upload (s)", {now - lastSuccess});
    }

    // Group: one app ID and one device per batch.
    std::string appID = stringSlot(bundles->front().first, MSRBundleSlot::kAppID);
    std::string resettableDeviceID;
    std::string vendorDeviceID;
    for (const MSRQueuedBundle& entry : *bundles) {
        resettableDeviceID = stringSlot(entry.first, MSRBundleSlot::kResettableDeviceID);
        if (!resettableDeviceID.empty()) break;
    }
    if (resettableDeviceID.empty()) {
        for (const MSRQueuedBundle& entry : *bundles) {
            vendorDeviceID = stringSlot(entry.first, MSRBundleSlot::kVendorDeviceID);
            if (!vendorDeviceID.empty()) break;
        }
    }
    // The bundles are only read once more, to be sent: the compatible ones
    // are kept where they are and moved on, never copied.
    std::vector<MSRQueuedBundle>& compatible = *bundles;
    if (std::optional<size_t> length =
            compatiblePrefixLength(appID, resettableDeviceID, vendorDeviceID, compatible)) {
        compatible.erase(compatible.begin() + static_cast<std::ptrdiff_t>(*length), compatible.end());
    } else {
        compatible = filteredBundlesWithCompatibleAppID(appID, resettableDeviceID, vendorDeviceID, compatible);
    }

    int64_t stampMillis = static_cast<int64_t>(std::llround(now * 1000.0));
    bool checkConsent = engine_.remoteConfig_->DMAConsentEnabled() && compatible.size() >= 2;
    bool checksumEnabled = engine_.remoteConfig_->checksumEnabled();
    std::vector<std::string> dataControls = engine_.remoteConfig_->dataControls();
    std::vector<MSRPBMeasurementBundle> batchBundles;
    batchBundles.reserve(compatible.size());
    std::vector<int64_t> bundleIDs;
    int64_t greatestEndMillis = 0;
    for (MSRQueuedBundle& entry : compatible) {
        MSRPBMeasurementBundle& bundle = entry.first;
        MSRPBSetInt64(bundle, MSRBundleSlot::kUploadingLibraryVersion, kMSRLibraryVersion);
        MSRPBSetInt64(bundle, MSRBundleSlot::kUploadTimestamp, stampMillis);
        MSRApplyDataControls(bundle, dataControls, identity);
        if (checksumEnabled) {
            if (std::optional<std::vector<uint8_t>> bytes = bundle.protoBuffer()) {
                MSRPBSetInt64(bundle, MSRBundleSlot::kChecksum, static_cast<int64_t>(msr_64LSBMD5(*bytes)));
            }
        }
        // The first bundle is the consent reference; it always joins the batch.
        if (checkConsent && !batchBundles.empty() && !MSRBundlesHaveSameConsent(&batchBundles.front(), &bundle)) {
            // It and everything after it wait for a later run.
            break;
        }
        // Only what is sent counts towards the uploaded end time.
        if (MSRPBHasField(bundle, MSRBundleSlot::kEndTimestamp)) {
            greatestEndMillis = std::max(greatestEndMillis, MSRPBGetInt64(bundle, MSRBundleSlot::kEndTimestamp));
        }
        batchBundles.push_back(std::move(bundle));
        bundleIDs.push_back(entry.second);
    }
    if (bundleIDs.empty()) {
        setUploadInProgressWithBundleIDs(bundleIDs);
        terminateBackgroundTask();
        return;
    }

    engine_.lastEventEndTimestampMsec_ = std::max(engine_.lastEventEndTimestampMsec_, greatestEndMillis);
    MSRPBMeasurementBatch batch;
    MSRPBSetMessageArray(batch, MSRBatchSlot::kBundles, std::move(batchBundles));
    std::vector<uint8_t> payload = batch.protoBuffer().value_or(std::vector<uint8_t>{});
    uploadLog(7, 23039, "Measurement data sent to network. Timestamp (ms), data",
              contexts(stampMillis, static_cast<int64_t>(payload.size())));

    // Whatever the request reports must be on disk before it leaves: the
    // bundle indexes it carries included, or a database started afresh
    // could number new bundles as ones the server has accepted.
    engine_.database_->commitPendingWrites();
    engine_.persistedConfig_->synchronizeToDisk();
    setUploadInProgressWithBundleIDs(bundleIDs);
    // An upload that never answers counts as failed.
    engine_.persistedConfig_->setLastFailedUploadTimestamp(now);
    engine_.isNetworkRequestPending_ = true;

    // The component sets its time-out from the remote settings before it
    // posts.
    std::weak_ptr<MSRMeasurement> weakSelf = engine_.weak_from_this();
    std::string sessionID = engine_.network_->postURL(
        uploadURL, net::Headers{}, std::move(payload), kMSRMaximumUploadResponseBytes, engine_.scheduler_->workerQueue(),
        shouldUseBackgroundSession(),
        [weakSelf](const net::Response& response, const std::vector<uint8_t>&, const std::optional<net::Error>& error) {
            auto self = weakSelf.lock();
            if (!self) return;
            self->isNetworkRequestPending_ = false;
            self->uploader().networkUploadCompletionHandlerWithResponse(response, error);
        });
    if (sessionID.empty()) {
        // No completion will come: the post failed here and now.
        uploadLog(2, 23040, "Unable to create network session.");
        engine_.isNetworkRequestPending_ = false;
        recordUploadFailure(0, false, "Unable to create network session.");
    }
}

// ---------------------------------------------------------------------------
// The answer
// ---------------------------------------------------------------------------

void MSRUploader::incrementRetryCounter() {
    if (!engine_.database_) return;
    MSRError error;
    if (!engine_.database_->incrementRetryCounterForBundlesWithIDs(engine_.uploadingBundleIDs_, &error)) {
        uploadLog(2, 23166, "Failed to update the bundles' retry counts. Error", {error});
    }
}

void MSRUploader::recordUploadFailure(int statusCode, bool backoff, const std::string& errorDescription) {
    double now = dispatch::Clock::now();
    engine_.persistedConfig_->setLastFailedUploadTimestamp(now);
    if (backoff) engine_.persistedConfig_->setLastBackoffTimestamp(now);
    uploadLog(7, 23043, "Network upload failed. Will retry later. Code, error",
              contexts(statusCode, errorDescription));
    incrementRetryCounter();
    engine_.uploadingBundleIDs_.clear();
    updateSchedule();
}

void MSRUploader::networkUploadCompletionHandlerWithResponse(const net::Response& response,
                                                               const std::optional<net::Error>& error) {
    if (!hasUploadComponents()) return;
    int status = response.statusCode;
    MSRNetworkOutcome outcome = MSRNetworkComponent::uploadOutcomeForStatusCode(status);
    if (outcome != MSRNetworkOutcome::kSuccess) {
        // The schedule's retry series owns the next attempt; posting again
        // at once would skip the back-off.
        recordUploadFailure(status, outcome == MSRNetworkOutcome::kFailureWithBackoff,
                            error ? error->description : std::string());
        return;
    }

    uploadLog(7, 23044, "Successful upload. Got network response. Code, size",
              contexts(status, response.expectedContentLength));
    double now = dispatch::Clock::now();
    engine_.persistedConfig_->setLastSuccessfulUploadTimestamp(now);
    engine_.persistedConfig_->setLastFailedUploadTimestamp(0);
    engine_.persistedConfig_->setLastBackoffTimestamp(0);
    engine_.persistedConfig_->setLastUploadedEventTimestampMillis(
        std::max(engine_.persistedConfig_->lastUploadedEventTimestampMillis(), engine_.lastEventEndTimestampMsec_));
    engine_.SKANRetryCount_ = 0;
    updateSchedule();
    if (!removeBundlesFromDatabaseWithIDs(engine_.uploadingBundleIDs_)) {
        uploadLog(1, 23045, "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                  {MSRMeasurement::kUploadSuspensionInterval});
        // Sending them again would duplicate them on the server.
        suspendUploads();
    } else {
        engine_.suspendedUploadTimestamp_ = 0;
    }
    engine_.uploadingBundleIDs_.clear();

    if ((isNetworkConnectedForUpload() && hasDataToUpload()) || engine_.remoteConfig_->isExpired()) {
        uploadData();
    } else if (engine_.isPSMRequestPostponed_) {
        engine_.isPSMRequestPostponed_ = false;
        engine_.retrievePSMResponse();
    } else {
        updateSchedule();
        engine_.scheduleSKANCVFetchAfterDataUpload();
    }
}

// ---------------------------------------------------------------------------
// The background task and the queue
// ---------------------------------------------------------------------------

void MSRUploader::swapBackgroundTaskWithNewTaskID(uint64_t taskID) {
    const uint64_t previous = engine_.backgroundUpdateTask_.exchange(taskID);
    if (previous != kInvalidUploadBackgroundTask) {
        // Built in place: see contexts() above.
        std::vector<MSRLogContext> taskContext;
        taskContext.emplace_back(previous);
        uploadLog(7, 23142, "Cancelling background upload task. Task ID ", taskContext);
        ui::Application::shared().endBackgroundTask(previous);
    }
}

bool MSRUploader::hasDataToUpload() {
    if (!engine_.database_) return false;
    MSRError error;
    auto queueEmpty = engine_.database_->isQueuedBundleTableEmpty(&error);
    if (!queueEmpty) {
        uploadLog(1, 23117, "Failed to check if queue table is empty. Error", {error});
        return false;
    }
    if (!*queueEmpty) return true;
    auto rawEmpty = engine_.database_->isRawEventsTableEmpty(&error);
    if (!rawEmpty) {
        uploadLog(1, 23118, "Failed to check if raw events table is empty. Error", {error});
        return false;
    }
    return !*rawEmpty;
}

void MSRUploader::terminateBackgroundTask() {
    // The task keeps the process alive for the writes: they commit first.
    if (engine_.backgroundUpdateTask_.load() != kInvalidUploadBackgroundTask && engine_.scheduler_ &&
        engine_.scheduler_->workerQueue()->isCurrent() && engine_.database_) {
        engine_.database_->commitPendingWrites();
    }
    engine_.persistedConfig_->synchronizeToDisk();
    swapBackgroundTaskWithNewTaskID(kInvalidUploadBackgroundTask);
}

bool MSRUploader::removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& rowIDs) {
    if (!engine_.database_) return false;
    // The server has these bundles: their removal must not wait on the
    // events' commit, or a crash meanwhile would send them twice.
    engine_.database_->commitPendingWrites();
    MSRError error;
    const bool removed = engine_.database_->deleteBundlesWithRowIDs(rowIDs, &error);
    if (!removed) uploadLog(1, 23122, "Failed to delete bundles from database. Error", {error});
    return removed;
}
