#include "analytics/core/MSREnvironmentInfo.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "analytics/core/MSRAEU.h"
#include "analytics/support/MSRMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"

std::shared_ptr<MSREnvironmentInfo> MSREnvironmentInfo::sharedInstance() {
    static auto instance = std::make_shared<MSREnvironmentInfo>();
    return instance;
}

std::string MSREnvironmentInfo::deviceModel() {
    std::call_once(deviceModelOnce_, [this] {
        errno = 0;
        deviceModel_ = MSRAEU::deviceModel();
        if (deviceModel_.empty()) {
            MSRMonitor::shared()->logWithLevel(2, 14000, "Failed to get device model", {std::strerror(errno)});
        }
    });
    return deviceModel_;
}

std::string MSREnvironmentInfo::deviceOSVersion() { return MSRAEU::systemVersion(); }

std::optional<std::string> MSREnvironmentInfo::userDefaultLanguage() {
    std::string language = foundation::Bundle::preferredLanguage();
    if (language.empty()) {
        MSRMonitor::shared()->logWithLevel(2, 14001, "Failed to get preferred language");
        return std::nullopt;
    }
    std::transform(language.begin(), language.end(), language.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return language;
}

int32_t MSREnvironmentInfo::timeZoneOffsetMinutes() {
    const std::time_t now = static_cast<std::time_t>(dispatch::Clock::now());
    std::tm local{};
    if (!::localtime_r(&now, &local)) return 0;
    return static_cast<int32_t>(local.tm_gmtoff / 60);
}
