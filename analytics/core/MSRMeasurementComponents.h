#pragma once

// The engine's collaborators whose own work (audiences, sessions, search-ads
// attribution, experiments, conditional user properties,
// lifetime value, sampling) is built elsewhere. Each class here is the
// engine's view of it: the operations the engine calls, with answers that
// leave the event road untouched (nothing evaluated, nothing sampled, no
// session expiry). Their own implementations derive from these and register a
// maker with MSRComponentRegistry; these classes are the neutral defaults.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRAudienceTimestampsCache.h"
#include "analytics/model/MSREvent.h"
#include "analytics/model/MSREventAggregates.h"
#include "analytics/support/MSRError.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/messages/MSRPBMessages.h"

class MSRDatabase;

// Evaluates the server's audiences on the device.
class MSRAudience {
public:
    explicit MSRAudience(std::shared_ptr<MSRDatabase> database) : database_(std::move(database)) {}
    virtual ~MSRAudience() = default;

    virtual bool updateAudiences(const std::vector<MSRPBAudience>& audiences);
    // Whether any audience has filters on events. Without them evaluating an
    // event does nothing, and bundling may skip making event objects.
    virtual bool hasEventFilters() const;
    virtual bool evaluateFiltersForEvent(const MSREvent& event, const MSREventAggregates& aggregates,
                                         MSRAudienceTimestampsCache* cache);
    // `evaluationTime` in seconds; without one, the property's own set time.
    virtual bool evaluateFiltersForNanoUserProperty(const MSRPBUserAttribute& attribute,
                                                    MSRAudienceTimestampsCache* cache,
                                                    std::optional<double> evaluationTime);
    virtual void clearEvaluationResultsForSessionScopedFilters();
    // The results that go into the bundle, after storing those the bundle's
    // evaluations left in `cache`. Nothing (with the cause) when the results
    // could not be read or stored.
    virtual std::optional<std::vector<MSRPBAudienceLeafFilterResult>> resultsForBundling(
        MSRAudienceTimestampsCache* cache, MSRError* error);

protected:
    std::shared_ptr<MSRDatabase> database_;
};

// Sessions and engagement, as the engine calls them on its worker queue. The
// reporter itself (analytics/reporters) registers its maker; this default
// never lets a session expire.
class MSRSessionReporterInterface {
public:
    virtual ~MSRSessionReporterInterface() = default;

    virtual bool isSessionExpired();
    virtual void extendSession();
    virtual void setTimeoutSessionInterval(double seconds);
    virtual void setReportingEnabled(bool enabled);
    virtual void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
};

// Search-ads attribution.
class MSRSearchAdReporter {
public:
    virtual ~MSRSearchAdReporter() = default;
    virtual void setSearchAdReporterEnabled(bool enabled);
    virtual void start();
};

// What the engine's settings answer as the delegate of their experiments client.
class MSRExperimentClientDelegate {
public:
    virtual ~MSRExperimentClientDelegate() = default;
    virtual void clientDidReceiveNewSnapshot() = 0;
    virtual void clientDidReceiveFetchError(const MSRError& error) = 0;
    virtual bool shouldFetchExperimentsForClient() = 0;
};

// The SDK name under which the measurement engine's settings register as a
// client of the experiments manager; it keys their stored snapshots.
inline constexpr const char* kMSRExperimentsMeasurementSDKName = "rov_idarurozaro";

// The experiments manager: active experiment IDs travel with every bundle.
class MSREManager {
public:
    virtual ~MSREManager() = default;
    // The registered experiments manager (MSRComponentRegistry).
    static std::shared_ptr<MSREManager> sharedInstance();
    virtual std::vector<int64_t> activeExperimentIDs();
    virtual void reset();
    // Registers a client library with no default flags; null when there is
    // no experiments feature in this build.
    virtual std::shared_ptr<MSRExperimentClient> registerSDKProperty(
        const std::string& SDKName, int64_t version, std::weak_ptr<MSRExperimentClientDelegate> delegate);
};

// Conditional user properties react to each written event; the answer is the
// further events to write, or nothing on failure.
class MSRConditionalUserPropertyController {
public:
    virtual ~MSRConditionalUserPropertyController() = default;
    virtual std::optional<std::vector<MSREvent>> processEventOnWorkerQueue(const MSREvent& event);
};

// Lifetime value of purchases.
class MSRLifetimeValueRecorder {
public:
    virtual ~MSRLifetimeValueRecorder() = default;
    virtual bool isPurchaseEvent(const MSREvent& event);
    // False when the value could not be recorded.
    virtual bool recordLifetimeValueToDatabase(MSRDatabase& database, const MSREvent& event);
};

// Launch URLs and the stored deferred deep link. Without a registered handler
// the engine makes their campaign events itself (MSRDeepLinks); a registered
// one takes that work over (tests watch what reaches it). The base reports
// nothing.
class MSRDeepLinkHandler {
public:
    virtual ~MSRDeepLinkHandler() = default;
    // An expired stored link comes without a URL, its campaign parameters
    // saying "(not set)".
    virtual void handleOpenURL(const std::optional<std::string>& /*url*/,
                               std::optional<int64_t> /*clickTimestampMillis*/, double /*eventTimestampSeconds*/,
                               const MSRObjectDictionary& /*extraParameters*/) {}
};

// Event sampling of a bundle.
class MSREventSampler {
public:
    virtual ~MSREventSampler() = default;
    // The events to keep, or nothing (with the cause) on failure.
    virtual std::optional<std::vector<MSRPBEvent>> sampleEvents(const std::vector<MSRPBEvent>& events,
                                                                MSRError* error);
};

// What the application's store receipt tells the first-open report. The
// reporters register the receipt reading; without it the receipt counts as
// unreadable.
class MSRReceiptFacts {
public:
    virtual ~MSRReceiptFacts() = default;
    // The running build is the version first installed (no update since).
    virtual bool isVersionSameAsOriginalVersion();
};

// The in-app purchase reporter as the facade hands it the newer store
// interface's transactions. Without one registered they are not reported.
class MSRTransactionReporterInterface {
public:
    virtual ~MSRTransactionReporterInterface() = default;
    // The plain values of one transaction; dates in seconds since 1970.
    virtual void reportTransactionWithProductID(
        const std::string& productID, const std::optional<std::string>& transactionID,
        const std::optional<std::string>& originalTransactionID, const std::optional<std::string>& webOrderLineItemID,
        int64_t productType, bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
        std::optional<double> purchaseDate, std::optional<double> originalPurchaseDate,
        std::optional<double> subscriptionExpirationDate, std::optional<double> cancellationDate);
};

// Whether the application is in the foreground, as the registered screen-view
// reporter tells; without one the application counts as active, so no
// background session work is done for events.
bool MSRIsAppActive();
// Ad-exposure events (origin "am", or "_xa" / "_xu") skip the interceptor.
bool MSRIsAdExposureEvent(const MSREvent& event);
