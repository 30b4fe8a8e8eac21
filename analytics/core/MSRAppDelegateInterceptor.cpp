#include "analytics/core/MSRAppDelegateInterceptor.h"

#include "analytics/core/MSRAnalytics.h"

MSRAppDelegateInterceptor& MSRAppDelegateInterceptor::sharedInstance() {
    static MSRAppDelegateInterceptor* instance = new MSRAppDelegateInterceptor();  // lives as long as the process
    return *instance;
}

bool MSRAppDelegateInterceptor::applicationOpenURL(const std::string& url) {
    MSRAnalytics::handleOpenURL(url);
    return false;
}

bool MSRAppDelegateInterceptor::applicationContinueUserActivity(const std::optional<std::string>& deepLink) {
    if (deepLink && !deepLink->empty()) MSRAnalytics::handleOpenURL(*deepLink);
    return false;
}

void MSRAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSession(
    const std::string& /*sessionID*/, const std::function<void()>& completionHandler) {
    // The platform network finishes background sessions like foreground ones,
    // so the session has nothing left to deliver.
    if (completionHandler) completionHandler();
}
