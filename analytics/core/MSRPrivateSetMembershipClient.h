#pragma once

// On-device conversion measurement asks an optional add-on whether the
// user's email address or phone number (plain or hashed) is in a data set.
// The add-on's class is looked up at run time on the phone; here a module
// that provides it registers its class with MSRComponentRegistry, and without
// one the feature says it is not linked.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One query of the add-on: its address, what kind of identifier it carries,
// and how it reads the answer.
class MSRPrivateSetMembershipClient {
public:
    virtual ~MSRPrivateSetMembershipClient() = default;
    // The query's address for the given retry; nothing when it cannot be made.
    virtual std::optional<std::string> PSMRequestURLWithRetryCount(int64_t retryCount) = 0;
    // 1 email, 2 phone number, 3 hashed email, 4 hashed phone number.
    virtual int64_t inputType() const = 0;
    // The matched value; empty or nothing for no match.
    virtual std::optional<std::string> parsedPSMValueFromResponse(const std::vector<uint8_t>& response) = 0;
    // A key the data set's debug mode accepts, when the add-on has one.
    virtual std::optional<std::string> debugKey() const { return std::nullopt; }
};

// The add-on's class: which identifiers it takes and its makers. A maker
// answers nothing when its kind is not supported. `prefixBitLength` is given
// to an add-on that takes it (`acceptsPrefixBitLength`); the hashed makers
// exist only with it.
class MSRPrivateSetMembershipClientClass {
public:
    virtual ~MSRPrivateSetMembershipClientClass() = default;
    virtual bool acceptsPrefixBitLength() const = 0;
    virtual bool supportsPhoneNumbers() const = 0;
    virtual bool supportsHashedIdentifiers() const = 0;
    virtual std::shared_ptr<MSRPrivateSetMembershipClient> clientWithEmailAddress(
        const std::string& emailAddress, const std::string& appID, std::optional<int32_t> prefixBitLength) = 0;
    virtual std::shared_ptr<MSRPrivateSetMembershipClient> clientWithPhoneNumber(
        const std::string& phoneNumber, const std::string& appID, std::optional<int32_t> prefixBitLength) = 0;
    virtual std::shared_ptr<MSRPrivateSetMembershipClient> clientWithHashedEmailAddress(
        const std::string& hashedEmailAddress, const std::string& appID, int32_t prefixBitLength) = 0;
    virtual std::shared_ptr<MSRPrivateSetMembershipClient> clientWithHashedPhoneNumber(
        const std::string& hashedPhoneNumber, const std::string& appID, int32_t prefixBitLength) = 0;
};
