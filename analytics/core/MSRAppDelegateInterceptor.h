#pragma once

#include <functional>
#include <optional>
#include <string>

#include <atomic>

// Receives the application-delegate calls that concern the engine (opened
// URLs, continued user activities, background network sessions) on the main
// thread and hands them to the facade. Every answer is "not handled", so the
// application's own delegate still sees the call. The calls reach the facade
// only once the engine's start has set up the delegate proxy.
class MSRAppDelegateInterceptor {
public:
    static MSRAppDelegateInterceptor& sharedInstance();

    // Whether the host may forward the application delegate's calls: the
    // Info.plist value "VuzedezoAppDelegateProxyEnabled" when it is a Boolean
    // or a number, else yes.
    static bool isAppDelegateProxyEnabled();
    // The engine's start, when the proxy is enabled and collection is not
    // deactivated: from now on the calls are handed on.
    static void createAppDelegateProxy();
    static bool isAppDelegateProxyCreated();
    // Tests: the calls reach nothing again.
    static void removeAppDelegateProxyForTesting();

    bool applicationOpenURL(const std::string& url);
    // `deepLink`: the activity's link, when it has one.
    bool applicationContinueUserActivity(const std::optional<std::string>& deepLink);
    void applicationHandleEventsForBackgroundURLSession(const std::string& sessionID,
                                                        const std::function<void()>& completionHandler);

private:
    MSRAppDelegateInterceptor() = default;
};
