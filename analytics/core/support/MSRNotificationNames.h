#pragma once

#include <string>

// The platform's application and window notification names that the engine
// observes.
const std::string& MSRAppDidBecomeActiveNotificationName();
const std::string& MSRAppDidFinishLaunchingNotificationName();
const std::string& MSRAppWillResignActiveNotificationName();
const std::string& MSRWindowDidResignKeyNotificationName();
const std::string& MSRAppWillEnterForegroundNotificationName();
const std::string& MSRAppDidEnterBackgroundNotificationName();
