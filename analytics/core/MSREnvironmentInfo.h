#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The device as the engine reports it.
class MSREnvironmentInfo {
public:
    static std::shared_ptr<MSREnvironmentInfo> sharedInstance();

    // Read once per instance; empty when the system would not tell (logged).
    std::string deviceModel();
    std::string deviceOSVersion();
    // The first preferred language, lower-cased; nothing (logged) without one.
    std::optional<std::string> userDefaultLanguage();
    // Offset of local time from GMT now, whole minutes toward zero.
    int32_t timeZoneOffsetMinutes();

private:
    std::once_flag deviceModelOnce_;
    std::string deviceModel_;
};
