#include "platform/host/AdvertisingIdentity.h"

#include <array>
#include <cctype>
#include <cstdio>

#include "platform/foundation/FileSystem.h"
#include "platform/security/Random.h"

namespace host {

AdvertisingIdentity& AdvertisingIdentity::shared() {
    static AdvertisingIdentity instance;
    return instance;
}

bool AdvertisingIdentity::hasIdentifierManager() const {
    std::lock_guard lock(mutex_);
    return hasIdentifierManager_;
}

std::optional<std::string> AdvertisingIdentity::advertisingIdentifier() const {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        hook = readHook_;
    }
    // Outside the lock: a slow hook must not hold up the other answers.
    if (hook) hook();
    std::lock_guard lock(mutex_);
    if (!hasIdentifierManager_) return std::nullopt;
    return identifier_;
}

bool AdvertisingIdentity::isAdvertisingTrackingEnabled() const {
    std::lock_guard lock(mutex_);
    return hasIdentifierManager_ && trackingEnabled_;
}

bool AdvertisingIdentity::hasTrackingManager() const {
    std::lock_guard lock(mutex_);
    return hasTrackingManager_;
}

uint32_t AdvertisingIdentity::trackingAuthorizationStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

int AdvertisingIdentity::systemMajorVersion() const {
    std::lock_guard lock(mutex_);
    return systemMajorVersion_;
}

void AdvertisingIdentity::setIdentifierManagerForTesting(std::optional<std::string> identifier, bool trackingEnabled) {
    std::lock_guard lock(mutex_);
    hasIdentifierManager_ = true;
    identifier_ = std::move(identifier);
    trackingEnabled_ = trackingEnabled;
}

void AdvertisingIdentity::removeIdentifierManagerForTesting() {
    std::lock_guard lock(mutex_);
    hasIdentifierManager_ = false;
    identifier_.reset();
    trackingEnabled_ = false;
}

void AdvertisingIdentity::setTrackingManagerForTesting(uint32_t status) {
    std::lock_guard lock(mutex_);
    hasTrackingManager_ = true;
    status_ = status;
}

void AdvertisingIdentity::removeTrackingManagerForTesting() {
    std::lock_guard lock(mutex_);
    hasTrackingManager_ = false;
    status_ = kNotDetermined;
}

void AdvertisingIdentity::setSystemMajorVersionForTesting(int version) {
    std::lock_guard lock(mutex_);
    systemMajorVersion_ = version;
}

int AdvertisingIdentity::systemMinorVersion() const {
    std::lock_guard lock(mutex_);
    return systemMinorVersion_;
}

void AdvertisingIdentity::setSystemMinorVersionForTesting(int version) {
    std::lock_guard lock(mutex_);
    systemMinorVersion_ = version;
}

void AdvertisingIdentity::setReadHookForTesting(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    readHook_ = std::move(hook);
}

void AdvertisingIdentity::resetForTesting() {
    std::lock_guard lock(mutex_);
    hasIdentifierManager_ = false;
    identifier_.reset();
    trackingEnabled_ = false;
    hasTrackingManager_ = false;
    status_ = kNotDetermined;
    systemMajorVersion_ = kDefaultSystemMajorVersion;
    systemMinorVersion_ = 0;
    readHook_ = nullptr;
}

namespace {

bool isCanonicalUUID(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

}  // namespace

std::string makeUUIDString() {
    std::array<uint8_t, 16> bytes{};
    security::randomBytes(bytes.data(), bytes.size());
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::optional<std::string> identifierForVendor() {
    // Readers on several threads may ask at once on the first run; one lock
    // keeps them from making two different identifiers.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    const std::filesystem::path path = foundation::FileSystem::libraryDirectory() / "VendorIdentifier";
    std::string stored;
    if (foundation::FileSystem::readFile(path, stored)) {
        while (!stored.empty() && std::isspace(static_cast<unsigned char>(stored.back()))) stored.pop_back();
        if (isCanonicalUUID(stored)) {
            for (char& c : stored) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return stored;
        }
        // A new identifier replaces it only once the unreadable bytes are
        // kept aside; when they cannot be, the file stays and nothing is made.
        auto aside = foundation::FileSystem::setAside(path);
        if (!aside) {
            std::fprintf(stderr, "vendor identifier: %s is damaged and cannot be moved aside\n", path.c_str());
            return std::nullopt;
        }
        std::fprintf(stderr, "vendor identifier: %s is damaged; kept as %s, a new identifier replaces it\n",
                     path.c_str(), aside->c_str());
    }
    std::string fresh = makeUUIDString();
    if (!foundation::FileSystem::writeAtomically(path, fresh + "\n")) return std::nullopt;
    return fresh;
}

}  // namespace host
