#pragma once

// The measurement engine: one shared instance per process that owns the
// analytics database, the server's settings, the worker queue, the upload
// alarm and the network component, and does all measurement work on the
// worker queue of its scheduler.
//
// The engine keeps the state; its roads work on it, each in its own header and
// source and named for its job: MSRStartUpAndWipe, MSREventWriter, MSRBundler,
// MSRUploader, MSRConfigurationFetcher, and for attribution MSRDeepLinks,
// MSRConversionValues and MSROnDeviceConversion. The engine is made of its roads (they
// are its bases), so each road's operations are declared once, in the road's
// header, and are the engine's operations by the same names. The engine's own
// sources call them through the road (startUp(), uploader(), ...); lower roads
// never call higher ones (the upload run reaches the configuration fetch only
// through a hook), so no source calls back into one that called it. User attributes, event handling
// and the raw-event metadata are still the engine's own sources. Operations
// whose names end in "OnWorkerQueue" run only on the worker queue and first
// assert that they do.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/core/MSRBundler.h"
#include "analytics/core/MSRConfigurationFetcher.h"
#include "analytics/core/MSRConversionValues.h"
#include "analytics/core/MSRDeepLinks.h"
#include "analytics/core/MSREventWriter.h"
#include "analytics/core/MSRMeasurementInterface.h"
#include "analytics/core/MSROnDeviceConversion.h"
#include "analytics/core/MSRPendingRequest.h"
#include "analytics/core/MSRStartUpAndWipe.h"
#include "analytics/core/MSRUploader.h"
#include "analytics/model/MSRDailyCounts.h"
#include "analytics/model/MSREvent.h"
#include "analytics/model/MSREventAggregates.h"
#include "analytics/model/MSRRawEventData.h"
#include "analytics/model/MSRUserAttribute.h"
#include "analytics/support/MSRAlarm.h"
#include "analytics/support/MSRError.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/core/MSRNetworkComponent.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/support/MSRScheduler.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/storage/MSRWriteBackoff.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/Network.h"
#include "platform/store/PaymentTransaction.h"

class MSRAudience;
class MSRAudienceTimestampsCache;
class MSRDatabase;
class MSRDeepLinkHandler;
class MSRReceiptFacts;
class MSREManager;
class MSRIdentity;
class MSRMonitor;
class MSRPersistedConfig;
class MSRSearchAdReporter;
class MSRSessionReporterInterface;
class MSRTCFClient;
class MSRConditionalUserPropertyController;
class MSREventSampler;
class MSRLifetimeValueRecorder;
struct MSRRawEventMetadataInputs;
struct MSRSceneWait;
// Receives every event handed to the engine, for listeners.
class MSRMeasurementDelegate {
public:
    virtual ~MSRMeasurementDelegate() = default;
    virtual void measurementDidLogEvent(const MSREvent& event) = 0;
};

class MSRMeasurement : public MSRMeasurementInterface,
                       public net::ReachabilityDelegate,
                       public std::enable_shared_from_this<MSRMeasurement>,
                       public MSRStartUpAndWipe,
                       public MSREventWriter,
                       public MSRBundler,
                       public MSRUploader,
                       public MSRConfigurationFetcher,
                       public MSRDeepLinks,
                       public MSRConversionValues,
                       public MSROnDeviceConversion {
public:
    static constexpr const char* kDatabaseName = "zevure-app-measurement.sql";
    static constexpr const char* kAlarmName = "Measurement timer";
    // User properties one origin may set.
    static constexpr int32_t kMaxUserPropertiesPerOrigin = 25;

    // ======================================================================
    // Start-up and enablement (the rest in MSRStartUpAndWipe.h)
    // ======================================================================

    // Creates the shared instance once per process (a first call with an
    // empty app ID uses the one creation up and leaves no engine).
    static void initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                  bool isAnalyticsCollectionDeactivated,
                                                  const std::optional<std::vector<std::string>>& safelistedEvents);
    static bool hasSharedInstance();
    static std::shared_ptr<MSRMeasurement> sharedInstance();
    static std::shared_ptr<MSRMonitor> monitor() { return MSRMonitor::shared(); }
    // The shared engine's remote settings, else the default instance.
    static std::shared_ptr<MSRRemoteConfig> remoteConfigShared();
    // Events the application handed over that are not stored yet: waiting
    // for the worker, or written and waiting for their commit. What an end
    // that lets the worker go leaves behind (any thread).
    static size_t eventsNotStoredYet();
    // Forgets the shared engine (tests only; the engine itself lives on
    // while blocks still hold it).
    static void resetSharedInstanceForTesting();
    // Makes `engine` the shared one, as if created by the facade (tests).
    static void installSharedInstanceForTesting(std::shared_ptr<MSRMeasurement> engine);
    // The program's time per batch of logged events (1 s), for every engine
    // of the process from now on: a test sets its own, so that what it sees
    // does not depend on the machine's speed.
    static void setEditingSecondsPerBatchForTesting(double seconds);

    // Null when the app ID is empty (logged).
    static std::shared_ptr<MSRMeasurement> initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                         bool isAnalyticsCollectionDeactivated,
                                                         const std::optional<std::vector<std::string>>& safelistedEvents,
                                                         std::shared_ptr<MSREManager> experimentManager);
    // Designated: every collaborator given, so tests build an engine in a
    // temporary directory on a manual executor with a fake network.
    static std::shared_ptr<MSRMeasurement> initWithDatabaseName(
        const std::string& databaseName, std::shared_ptr<MSRPersistedConfig> persistedConfig,
        std::shared_ptr<MSRNetworkComponent> network, std::shared_ptr<MSRScheduler> scheduler,
        std::shared_ptr<MSRAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
        bool isAnalyticsCollectionDeactivated, const std::optional<std::vector<std::string>>& safelistedEvents,
        std::shared_ptr<MSREManager> experimentManager);

    ~MSRMeasurement() override;
    MSRMeasurement(const MSRMeasurement&) = delete;
    MSRMeasurement& operator=(const MSRMeasurement&) = delete;

    void setEnabled(bool enabled) override;
    bool didInitializeComponents() override { return didInitializeComponents_.load(); }
    // True once the start has made the database, the remote settings, the
    // audience evaluator, the session reporter and the identity. A start that
    // failed leaves some of them missing: every worker-queue entry returns
    // early unless this holds, so nothing is called through a missing one.
    bool hasComponentsOnWorkerQueue() const {
        return database_ && remoteConfig_ && audience_ && sessionReporter_ && identity_;
    }
    bool wasEnabledDuringInitialization() override { return wasEnabledDuringInitialization_; }
    void reachabilityDidChange() override;
    static bool isVuzedezoRemoteConfigSDKPresent();

    // Collaborators (null until the component start has made them).
    const std::shared_ptr<MSRAlarm>& alarm() const { return alarm_; }
    const std::shared_ptr<MSRAudience>& audience() const { return audience_; }
    const std::shared_ptr<MSRDatabase>& database() const { return database_; }
    const std::shared_ptr<MSRIdentity>& identity() const { return identity_; }
    const std::shared_ptr<MSRNetworkComponent>& network() const { return network_; }
    const std::shared_ptr<MSRPersistedConfig>& persistedConfig() const { return persistedConfig_; }
    const std::shared_ptr<MSRRemoteConfig>& remoteConfigInstance() const { return remoteConfig_; }
    const std::shared_ptr<MSRScheduler>& scheduler() const { return scheduler_; }
    const std::shared_ptr<MSRSessionReporterInterface>& sessionReporter() const { return sessionReporter_; }
    const std::shared_ptr<MSRTCFClient>& tcfClient() const { return tcfClient_; }
    const std::optional<std::vector<std::string>>& safelistedEvents() const { return safelistedEvents_; }
    const std::string& appID() const { return appID_; }

    bool isEnabled() const { return enabled_; }
    bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_; }
    void setIsAnalyticsCollectionEnabled(bool value) { isAnalyticsCollectionEnabled_ = value; }
    bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_; }
    void setIsAnalyticsCollectionDeactivated(bool value) { isAnalyticsCollectionDeactivated_ = value; }
    bool isNetworkRequestPending() const { return isNetworkRequestPending_; }
    void setIsNetworkRequestPending(bool value) { isNetworkRequestPending_ = value; }
    std::shared_ptr<MSRMeasurementDelegate> measurementDelegate() const { return measurementDelegate_.lock(); }
    void setMeasurementDelegate(std::weak_ptr<MSRMeasurementDelegate> delegate) { measurementDelegate_ = delegate; }
    int64_t lastEventEndTimestampMsec() const { return lastEventEndTimestampMsec_; }
    void setLastEventEndTimestampMsec(int64_t value) { lastEventEndTimestampMsec_ = value; }
    void setSuspendedUploadTimestamp(double value) { suspendedUploadTimestamp_ = value; }
    double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
    double initTimestamp() const { return initTimestamp_; }

    // ======================================================================
    // Hooks of neighbouring roads (lifecycle reports, reset and wipe, ad
    // personalization and consent transitions; most in MSRStartUpAndWipe.h).
    // Their own roads fill them; until then they do what the start-up needs
    // and nothing more.
    // ======================================================================

    void setPersonalizedAdsUserPropertyOnWorkerQueue();
    bool shouldUpdateNPAUserProperty() const { return shouldUpdateNPAUserProperty_; }
    void setShouldUpdateNPAUserProperty(bool value) { shouldUpdateNPAUserProperty_ = value; }
    // The "_npa" property written while the DMA consent feature is on.
    void updateAdPersonalizationConsentFromNPAValue(int64_t value);
    // Hands a launch URL or stored deep link to the deep-link handler.
    void handleOpenURLOnWorkerQueue(const std::optional<std::string>& url, std::optional<int64_t> clickTimestampMillis,
                                    double eventTimestampSeconds, const MSRObjectDictionary& extraParameters);
    // Launch: the application's did-finish-launching notification makes the
    // screen-view reporter, so it sees the first screen. Subscribed once per
    // process, from the application's registration call.
    static void subscribeForAppDidFinishLaunchingNotifications();
    static void handleAppDidFinishLaunching(const foundation::Notification& notification);
    uint64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }

    // ======================================================================
    // User attributes
    // ======================================================================

    void setUserAttribute(const MSRUserAttribute& attribute) override;
    void removeUserAttribute(const MSRUserAttribute& attribute) override;
    void setUserAttributeOnWorkerQueue(const MSRUserAttribute& attribute);
    bool setUserPropertyInDatabaseOnWorkerQueue(const MSRUserAttribute& attribute);
    void removeUserAttributeOnWorkerQueue(const MSRUserAttribute& attribute);
    void userAttributeWithName(const std::string& name,
                               std::function<void(std::optional<MSRUserAttribute>)> callback);
    void userPropertiesIncludingInternal(bool includeInternal,
                                         std::function<void(foundation::Value::Dictionary)> callback) override;
    void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int32_t)> callback) override;
    bool hasUserPropertyUserIDOnWorkerQueue();
    void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
    void sessionIDWithCompletion(SessionIDCompletion completion) override;
    void setUserData(const foundation::Value::Dictionary& userData) override;
    void setUserDataOnWorkerQueue(const foundation::Value::Dictionary& userData);

    // ======================================================================
    // Event logging entry and handling
    // ======================================================================

    void logEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                  const MSRObjectDictionary& parameters, double timestamp, bool enabled, bool ignoreEnabled,
                  bool ignoreInterceptor, const MSRLogEventInterceptor& interceptor,
                  const std::optional<MSRParameters>& addedScreenParameters) override;
    void logAdmittedEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const MSRObjectDictionary& parameters, double timestamp, bool enabled, bool ignoreEnabled,
                          bool ignoreInterceptor, const MSRLogEventInterceptor& interceptor,
                          const std::optional<MSRParameters>& addedScreenParameters,
                          MSREventBacklog::Ticket place) override;
    void logAdmittedPackedEvent(MSRPackedEvent event, bool isPublicEvent, bool enabled, bool ignoreEnabled,
                                bool ignoreInterceptor, const MSRLogEventInterceptor& interceptor,
                                const std::optional<MSRParameters>& addedScreenParameters,
                                MSREventBacklog::Ticket place) override;
    void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                         const MSRObjectDictionary& parameters, double timestamp, bool enabled,
                                         bool ignoreEnabled, bool ignoreInterceptor,
                                         const MSRLogEventInterceptor& interceptor,
                                         const std::optional<MSRParameters>& addedScreenParameters);
    void logEventOnWorkerQueue(const MSREvent& event, bool notifyEventListeners);
    struct PendingEventBatch;
    void queuePendingEvent(MSRPackedEvent event, bool isPublicEvent, bool enabled, bool ignoreEnabled,
                           bool ignoreInterceptor, const MSRLogEventInterceptor& interceptor,
                           const std::optional<MSRParameters>& addedScreenParameters,
                           MSREventBacklog::Ticket place);
    void logPendingEventsOnWorkerQueue(PendingEventBatch& batch);
    // False when the event's writes failed (nothing of it is stored).
    bool handleInternalEventOnWorkerQueue(const MSREvent& event);
    void handleEventOnWorkerQueue(const MSREvent& event);
    // Writes "_err" events kept while created events were written, past the
    // event-editing program.
    void writeCapturedErrorEventsOnWorkerQueue(std::vector<MSRParameters> errors);
    void setDefaultEventParameters(const std::optional<MSRObjectDictionary>& parameters) override;
    void handleSetDefaultEventParametersOnWorkerQueue(const std::optional<MSRObjectDictionary>& parameters,
                                                      bool backfillEvents);
    // The parameters over the default event parameters; nothing when there are no defaults.
    std::optional<MSRObjectDictionary> parametersWithAddedDefaultEventParameters(const MSRObjectDictionary& parameters);
    // The stored default event parameters as last read, with the state of
    // the configuration they were read in.
    struct DefaultParametersMemo {
        const void* config = nullptr;
        uint64_t generation = 0;
        std::optional<MSRObjectDictionary> objects;
    };
    DefaultParametersMemo defaultParametersMemo_;
    // Hands an event to the handling sequence from any thread (nothing
    // happens once the engine is gone; nothing is logged for none).
    void logEvent(const std::optional<MSREvent>& event);

    // Event writing and daily caps: MSREventWriter.h.

    // ======================================================================
    // Raw-event metadata and bundle identity fields
    // ======================================================================

    // The metadata every raw event is stored with: application, device,
    // identity and consent of this moment, and the given user attributes.
    MSRPBMeasurementBundle createRawEventMetadataWithUserAttributes(const std::vector<MSRUserAttribute>& attributes);
    // The same in two steps: what the metadata holds, then the metadata.
    MSRRawEventMetadataInputs rawEventMetadataInputsWithUserAttributes(const std::vector<MSRUserAttribute>& attributes);
    static MSRPBMeasurementBundle rawEventMetadataFromInputs(const MSRRawEventMetadataInputs& inputs);

    // ======================================================================
    // Bundling raw events (the operations in MSRBundler.h)
    // ======================================================================

    // Public event names that are bundled under an internal name.
    static const std::map<std::string, std::string>& bundledEventRenameMap();

    // Events that bundling leaves as they were stored go into the bundle
    // from their stored bytes, without event objects; off, every event is
    // made into one (tests compare the two).
    void setBundlingFromStoredBytesForTesting(bool enabled) { bundlesFromStoredBytes_ = enabled; }

    // ======================================================================
    // Upload scheduling and batch upload (the operations in MSRUploader.h)
    // ======================================================================

    // Uploads held back after a failed deletion (or by the configuration
    // fetch) stay held for this many seconds of uptime.
    static constexpr double kUploadSuspensionInterval = 3600;

    const std::vector<int64_t>& uploadingBundleIDs() const { return uploadingBundleIDs_; }

    // Measurement configuration fetch: MSRConfigurationFetcher.h.

    // ======================================================================
    // Session timeout, session-number backfill and next-hour time
    // ======================================================================

    void setSessionTimeoutInterval(double seconds) override;
    static int64_t timestampMillisRoundedUpToNextHour(int64_t timestampMillis);

    // ======================================================================
    // The rest of what the facade asks of the engine
    // ======================================================================

    bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) override;
    std::optional<bool> shouldDisableAdPersonalization() override;
    void handleNonFirstOpenEventURL(const std::string& url, double timestamp) override;
    void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                               const std::function<void()>& completionHandler) override;
    std::shared_ptr<MSRRemoteConfig> remoteConfig() override;
    bool hasConsentDefaults() override;

    // The engine as each of its roads; the engine's own sources call a road's
    // operations through these, so that no source calls back into the one
    // that called it.
    MSRUploader& uploader() { return *this; }
    MSRConfigurationFetcher& configurationFetcher() { return *this; }
    MSREventWriter& eventWriter() { return *this; }
    MSRBundler& bundler() { return *this; }
    MSRStartUpAndWipe& startUp() { return *this; }
    MSRDeepLinks& deepLinks() { return *this; }
    MSRConversionValues& conversionValues() { return *this; }
    MSROnDeviceConversion& onDeviceConversion() { return *this; }
    // The watch over the engine's own requests (not uploads).
    MSRPendingRequest& pendingRequest() { return pendingRequest_; }
    // Runs `work` with the engine on the worker queue, unless the engine is
    // gone by then: the queued block holds no strong reference, so queued work
    // never keeps a stopped engine alive.
    void onWorkerQueue(std::string_view blockID, std::function<void(MSRMeasurement&)> work);

    // ======================================================================
    // Purchases (MSRMeasurementPurchases.cpp)
    // ======================================================================

    using PurchaseTransactionsCallback = std::function<void(std::vector<store::PaymentTransaction>)>;
    // The purchased transactions not reported before, in order, handed to the
    // callback on the default global queue. A purchase counts as reported
    // once its event is logged (recordReportedPurchaseFingerprint); until
    // then a second delivery is held back here, and a purchase whose report
    // failed (forgetPurchaseFingerprint) is let through again.
    void filterPurchaseTransactions(std::vector<store::PaymentTransaction> transactions,
                                    PurchaseTransactionsCallback callback);
    // Stores the fingerprint of a purchase whose event was logged: on the
    // worker queue, so after that event when logged before this call.
    void recordReportedPurchaseFingerprint(const std::string& fingerprint);
    void forgetPurchaseFingerprint(const std::string& fingerprint);
    // The lower-case hexadecimal MD5 of the transaction identifier; nothing
    // (logged) for a missing, empty or all-zero identifier, nothing for a
    // transaction that is not purchased.
    static std::optional<std::string> transactionFingerprint(const store::PaymentTransaction& transaction);

private:
    friend class MSRUploader;
    friend class MSRConfigurationFetcher;
    friend class MSREventWriter;
    friend class MSRBundler;
    friend class MSRStartUpAndWipe;
    friend class MSRDeepLinks;
    friend class MSRConversionValues;
    friend class MSROnDeviceConversion;

    MSRMeasurement();

    // The remote settings as other threads see them (the facade asks for
    // them on its own queue while the start may be making them).
    mutable std::mutex publishedRemoteConfigMutex_;
    std::shared_ptr<MSRRemoteConfig> publishedRemoteConfig_;

    // Fields, in the order of the engine's record.
    std::string databaseName_;
    std::atomic<bool> didInitializeComponents_{false};
    std::mutex initializeComponentsLock_;
    std::shared_ptr<MSRAlarm> alarm_;
    std::shared_ptr<MSRAudience> audience_;
    std::shared_ptr<MSRDatabase> database_;
    std::shared_ptr<MSRIdentity> identity_;
    std::shared_ptr<MSRNetworkComponent> network_;
    std::shared_ptr<MSRPersistedConfig> persistedConfig_;
    std::shared_ptr<MSRRemoteConfig> remoteConfig_;
    std::shared_ptr<MSRScheduler> scheduler_;
    // Fingerprints of purchases let through and not yet reported (worker queue).
    std::set<std::string> pendingPurchaseFingerprints_;
    std::shared_ptr<MSRSessionReporterInterface> sessionReporter_;
    std::shared_ptr<MSRSearchAdReporter> searchAdReporter_;
    std::shared_ptr<MSREManager> experimentManager_;
    bool isPSMRequestInProgress_ = false;
    bool isPSMRequestPostponed_ = false;
    int32_t PSMStartCount_ = 0;
    int32_t PSMRetryCount_ = 0;
    bool isSKANRequestInProgress_ = false;
    bool fetchSKANWhenNetworkConnected_ = false;
    int64_t lastEventEndTimestampMsec_ = 0;
    int32_t SKANRetryCount_ = 0;
    std::shared_ptr<MSRAlarm> SKANRetryAlarm_;
    std::shared_ptr<MSRAlarm> SKANDelayAlarm_;
    std::shared_ptr<MSRAlarm> PSMRetryAlarm_;
    std::shared_ptr<MSRPrivateSetMembershipClient> privateSetMembershipClient_;
    std::vector<int64_t> uploadingBundleIDs_;
    std::optional<std::string> previousZMPAppID_;
    std::atomic<uint64_t> backgroundUpdateTask_{0};
    double initTimestamp_ = 0;
    double suspendedUploadTimestamp_ = 0;
    std::string appID_;
    std::optional<std::vector<std::string>> safelistedEvents_;
    // Set on the facade's queue too (shouldDisableAdPersonalization).
    std::atomic<bool> foundAdPersonalizationPlistFlag_{false};
    bool shouldUpdateNPAUserProperty_ = false;
    bool shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
    std::shared_ptr<MSRTCFClient> tcfClient_;
    // Read by the experiments client from its own queue.
    std::atomic<bool> enabled_ = false;
    bool wasEnabledDuringInitialization_ = false;
    bool isAnalyticsCollectionEnabled_ = true;
    bool isAnalyticsCollectionDeactivated_ = false;
    bool isNetworkRequestPending_ = false;
    std::weak_ptr<MSRMeasurementDelegate> measurementDelegate_;
    std::shared_ptr<MSRConditionalUserPropertyController> conditionalUserPropertyController_;
    std::shared_ptr<MSRLifetimeValueRecorder> lifetimeValueRecorder_;
    std::shared_ptr<MSREventSampler> eventSampler_;
    std::shared_ptr<MSRDeepLinkHandler> deepLinkHandler_;
    std::shared_ptr<MSRReceiptFacts> receiptFacts_;
    std::vector<foundation::NotificationCenter::Token> notificationTokens_;
    // The observer of a prewarmed launch waiting for its scene; it goes with
    // the engine.
    std::shared_ptr<MSRSceneWait> sceneWait_;
    MSRPendingRequest pendingRequest_{*this};

    // Each road keeps its private helpers and fields in its own block below.

    // --- user attributes ---------------------------------------------------

    // --- event handling ----------------------------------------------------
    // The steps of handleEventOnWorkerQueue, in their order.
    void handleEventStepsOnWorkerQueue(const MSREvent& event);
    std::optional<MSREvent> eventAfterSafelistingEvent(const MSREvent& event);
    void processSessionFromEvent(const MSREvent& event);
    // False: a subscription already reported; drop the event.
    bool dedupeSubscriptionEvent(const MSREvent& event);
    bool shouldDropDuplicatedSessionStartWithRolloutEvent(const MSREvent& event);
    MSREvent appExceptionEventWithVuzedezoFeatureRollouts(MSREvent event);
    void writeSessionStartEventOnWorkerQueue(const MSREvent& event);
    // Writes the event, as edited by the server's program when one is loaded,
    // and the events the program created.
    void writeEventWithEditingOnWorkerQueue(MSREvent event);
    // Whether the program may still edit the event: not past the program's
    // time in this batch, nor once the application ends. The first event it
    // may not edit has the failure logged.
    bool mayEditEventOnWorkerQueue(const MSREvent& event);
    // From any thread, when the application ends: the program gets little
    // more time, then the events still to handle are stored unedited.
    void stopEventEditing();
    // From the main thread, when the application ends: event editing stops
    // (above), and the events handed over before the end go ahead of slow
    // work queued before them whose order to them does not matter.
    void applicationWillTerminate();
    // Worker queue only. Once the application ends, stores the events still
    // queued on the worker, in their order, and commits them: called where
    // such work (a configuration's answer, an upload) would keep them
    // waiting past the end's deadline. Nothing before the end, nor inside an
    // event's handling or a group of writes. Events go ahead only of work
    // whose order with them does not matter (other events, a commit, an
    // upload): the first batch with other work queued before it (a user
    // property, the user ID, a consent's change) waits for its own turn,
    // and so do the batches behind it.
    void storeEventsHandedOverBeforeTheEnd();
    // Queues work that events may go ahead of at the end (see above).
    void scheduleOrderFreeOnWorkerQueue(std::string_view blockID, std::function<void()> block);
    // Whether the application has begun to end (any thread).
    bool applicationEnds() const { return applicationEnds_.load(); }

    // --- event writing -----------------------------------------------------
    // Persisted values that one event's transaction changes. They are kept
    // here while the transaction runs and applied only once it commits, so a
    // rolled-back event leaves no trace outside the database either.
    struct PendingEventWrites {
        std::optional<std::vector<uint8_t>> adCampaignInfoBuffer;
        std::optional<bool> unmatchedFirstOpenWithoutIDFA;
        std::optional<std::string> previousFirstOpenCount;
        std::optional<double> firstOpenConsentedTimestamp;
    };
    PendingEventWrites pendingEventWrites_;
    // Logged events reach the worker in batches of packed events: one block
    // for many instead of a block and its copies per event. The open batch
    // takes more events only while nothing was queued behind it.
    std::mutex pendingEventsMutex_;
    std::shared_ptr<PendingEventBatch> openEventBatch_;
    uint64_t openEventBatchPlace_ = 0;
    // Every batch queued whose block has not run yet, oldest first: what the
    // end stores ahead of other work.
    std::deque<std::shared_ptr<PendingEventBatch>> queuedEventBatches_;
    // The places of queued work that events may go ahead of, in order;
    // those already run are dropped as the end looks.
    std::deque<uint64_t> orderFreeBlockPlaces_;
    std::atomic<bool> applicationEnds_{false};
    bool commitQueued_ = false;
    bool scheduleUpdateQueued_ = false;
    std::vector<MSREvent> eventsAwaitingCommit_;
    // Its size, for eventsNotStoredYet on another thread.
    std::atomic<size_t> eventsAwaitingCommitCount_{0};
    // Marks the event being handled whose writes failed or were lost with a
    // failed commit (a full disk): its listeners never hear of it.
    bool eventWriteFailed_ = false;
    // Session starts ("_s") handed to the store, stored or not: an "_s" that
    // handling leaves without raising it was dropped by a rule.
    uint64_t sessionStartsHandedToStore_ = 0;
    // The program's time on the batch of logged events being handled (none
    // outside one), and whether its failure was logged.
    struct EditingBatch {
        double seconds;
        bool failureLogged;
    };
    std::optional<EditingBatch> editingBatch_;
    // The uptime from which no event is edited any more: the application's
    // end sets it, from the main thread.
    std::atomic<double> editingEndsAt_{std::numeric_limits<double>::infinity()};
    bool editingEndLogged_ = false;

    // --- raw-event metadata ------------------------------------------------

    // --- bundling ----------------------------------------------------------
    // Writes of a bundle's transaction waiting for its commit (MSRBundler).
    std::optional<std::vector<std::function<void()>>> pendingBundleCommitWrites_;
    bool bundlesFromStoredBytes_ = true;

    // A bundle that could not be stored (a full disk) is not tried again
    // before this says so: the upload road skips bundling while it waits and
    // schedules its run for the retry time, so that the events go out once
    // the disk has room, with no new event needed to wake it.
    MSRWriteBackoff bundleWriteBackoff_;

    // --- upload ------------------------------------------------------------
    // fetchRemoteConfig, as the upload run reaches it: the fetch schedules
    // uploads itself, so the upload road does not call into it directly.
    std::function<void()> requestConfigurationFetch_;
    // --- configuration fetch -----------------------------------------------

};
