#include "analytics/core/support/MSRNotificationNames.h"

const std::string& MSRAppDidBecomeActiveNotificationName() {
    static const std::string name = "UIApplicationDidBecomeActiveNotification";
    return name;
}

const std::string& MSRAppDidFinishLaunchingNotificationName() {
    static const std::string name = "UIApplicationDidFinishLaunchingNotification";
    return name;
}

const std::string& MSRAppWillResignActiveNotificationName() {
    static const std::string name = "UIApplicationWillResignActiveNotification";
    return name;
}

const std::string& MSRWindowDidResignKeyNotificationName() {
    static const std::string name = "UIWindowDidResignKeyNotification";
    return name;
}

const std::string& MSRAppWillEnterForegroundNotificationName() {
    static const std::string name = "UIApplicationWillEnterForegroundNotification";
    return name;
}

const std::string& MSRAppDidEnterBackgroundNotificationName() {
    static const std::string name = "UIApplicationDidEnterBackgroundNotification";
    return name;
}
