#pragma once

#include <functional>
#include <optional>
#include <string>

// Receives the application-delegate calls that concern the engine (opened
// URLs, continued user activities, background network sessions) on the main
// thread and hands them to the facade. Every answer is "not handled", so the
// application's own delegate still sees the call.
class MSRAppDelegateInterceptor {
public:
    static MSRAppDelegateInterceptor& sharedInstance();

    bool applicationOpenURL(const std::string& url);
    // `deepLink`: the activity's link, when it has one.
    bool applicationContinueUserActivity(const std::optional<std::string>& deepLink);
    void applicationHandleEventsForBackgroundURLSession(const std::string& sessionID,
                                                        const std::function<void()>& completionHandler);

private:
    MSRAppDelegateInterceptor() = default;
};
