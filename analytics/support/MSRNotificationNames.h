#pragma once

// The platform's application and window notification names that the engine
// observes.
inline const char* MSRAppDidBecomeActiveNotificationName() { return "UIApplicationDidBecomeActiveNotification"; }
inline const char* MSRAppDidFinishLaunchingNotificationName() {
    return "UIApplicationDidFinishLaunchingNotification";
}
inline const char* MSRAppWillResignActiveNotificationName() { return "UIApplicationWillResignActiveNotification"; }
inline const char* MSRWindowDidResignKeyNotificationName() { return "UIWindowDidResignKeyNotification"; }
inline const char* MSRAppWillEnterForegroundNotificationName() {
    return "UIApplicationWillEnterForegroundNotification";
}
inline const char* MSRAppDidEnterBackgroundNotificationName() {
    return "UIApplicationDidEnterBackgroundNotification";
}
