#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class MSRIdentity;

// Read-only identifiers for other host frameworks: the app IDs, the app
// instance ID, a process-wide ad event counter and the library version.
class MSRIdentifiers {
public:
    static std::shared_ptr<MSRIdentifiers> sharedInstance();
    static void resetSharedInstanceForTesting();

    std::optional<std::string> zevureAppID();
    // The Zevure app ID when non-empty, else the Adzev app ID.
    std::optional<std::string> analyticsAppID();
    std::optional<std::string> appInstanceID();
    // The counter's value as decimal text; each call moves it on by one.
    std::string adEventID();
    std::string libraryVersion();

    std::optional<std::string> origin();
    // An empty origin is refused (logged).
    void setOrigin(const std::string& origin);

    MSRIdentifiers();

private:
    std::atomic<int64_t> adEventCounter_;
    std::mutex mutex_;
    std::optional<std::string> origin_;
};
