#pragma once

// The ad network's conversion values: after the engine's events have been
// uploaded it asks the measurement server which postback conversion value
// applies ("/skan"), checks the answer, hands it to the platform's ad network
// and logs "_skan" with what was sent. Requests are spaced by alarms, retried
// a bounded number of times, and made only on systems that take the value
// while the server switches the feature on and the postback windows after the
// first open are still open. Its operations are the engine's
// (MSRMeasurementRoad.h), on the worker queue.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementRoad.h"
#include "platform/store/AdNetwork.h"

class MSRConversionValues : public MSRMeasurementRoad {
public:
    using MSRMeasurementRoad::MSRMeasurementRoad;

    static constexpr const char* kPath = "/skan";
    static constexpr const char* kDelayAlarmName = "SKAN conversion value delay fetch";
    static constexpr const char* kRetryAlarmName = "SKAN conversion value fetch timer";
    // The largest answer read, before and after inflation: an answer is a few
    // numbers, and a compressed one must not grow into the memory.
    static constexpr size_t kMaxResponseBytes = 64 * 1024;
    static constexpr int64_t kFirstWindowMillis = 172800000;    // 48 hours
    static constexpr int64_t kAllWindowsMillis = 3024000000;    // 35 days

    std::string SKANVersion() const;
    // Whether the system takes postback conversion values (16.1 or later).
    static bool isSKANSupported();
    bool isInFirstSKANPostbackWindow();
    bool isPastAllSKANPostbackWindows();
    static bool isValidFineConversionValue(int64_t value);
    static store::AdNetwork::CoarseValue convertCoarseConversionValueFromProtoValue(int64_t value);
    bool shouldFetchSKANConversionValue();
    int32_t SKANFetchRetryLimit();

    void scheduleSKANCVFetchAfterDataUpload();
    void fetchSKANCV();
    void handleSKANFetchResponse(const net::Response& response, const std::vector<uint8_t>& data,
                                 const std::optional<net::Error>& error);
    void updateSKANPostbackConversionValueFromResponse(const MSRPBSkAdNetworkConversionValueResponse& response);
    void handleSKANUpdatePostbackCompletion(const MSRPBSkAdNetworkConversionValueResponse& response,
                                            const std::optional<store::AdNetwork::Error>& error);
    void maybeScheduleSKANCVFetchRetry();
    void stopProcessingSKANResponseAndResetRetryCount();
    void maybeFetchSKANCVAfterReachabilityChange();

private:
    MSRPBSkAdNetworkConversionValueRequest SKANRequest();
    int64_t nowMillis() const;
};
