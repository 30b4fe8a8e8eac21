#pragma once

// On-device conversion measurement: a query of a data set for the user's
// email address or phone number (plain or hashed), made by an optional add-on
// (MSRPrivateSetMembershipClient.h). A match is kept as the user property
// "_psmvalue" and announced with "_fx"; every query counts in a per-kind count
// property that travels with the next query. Failed queries are retried with
// doubling waits, a bounded number of times. Its operations are the engine's
// (MSRMeasurementRoad.h), on the worker queue.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementRoad.h"
#include "platform/foundation/Value.h"

class MSRPrivateSetMembershipClient;
class MSRPrivateSetMembershipClientClass;

class MSROnDeviceConversion : public MSRMeasurementRoad {
public:
    using MSRMeasurementRoad::MSRMeasurementRoad;

    static constexpr const char* kRetryAlarmName = "On-device conversion measurement timer";
    // A match is kept this long after it was set (90 days).
    static constexpr double kValueLifetimeSeconds = 7776000;
    static constexpr size_t kMaxResponseBytes = 64 * 1024;

    // The registered add-on class; null when none is linked.
    std::shared_ptr<MSRPrivateSetMembershipClientClass> PSMClientClass();
    void checkPSMDependencyOnWorkerQueue();

    bool shouldRetrievePSMResponse();
    bool shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress);
    bool shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber);
    bool shouldRetrievePSMResponseWithHashedIdentifier(const std::string& hashedIdentifier);
    std::shared_ptr<MSRPrivateSetMembershipClient> PSMClientWithEmailAddress(const std::string& emailAddress);
    std::shared_ptr<MSRPrivateSetMembershipClient> PSMClientWithPhoneNumber(const std::string& phoneNumber);
    std::shared_ptr<MSRPrivateSetMembershipClient> PSMClientWithHashedEmailAddress(const std::string& hashed);
    std::shared_ptr<MSRPrivateSetMembershipClient> PSMClientWithHashedPhoneNumber(const std::string& hashed);

    // The user data of the public interface: the first key whose check
    // passes and whose maker gives a client starts a query.
    void initiateWithUserDataOnWorkerQueue(const foundation::Value::Dictionary& userData);
    void retrievePSMResponse();
    void handlePSMResponse(const net::Response& response, const std::vector<uint8_t>& data,
                           const std::optional<net::Error>& error, const std::string& countName);
    void maybeSchedulePSMRetry();
    void handlePSMValueOnWorkerQueue(const std::string& value);
    void incrementPSMCountOnWorkerQueueWithName(const std::string& name);
    void maybeDeleteExpiredPSMValueOnWorkerQueue();
    void resetPSMCounts();

    // The count property and the query's name of an input type.
    static std::pair<std::string, std::string> countNamesForInputType(int64_t inputType);

private:
    int64_t integerProperty(const std::string& name);
    double firstOpenSeconds();
};
