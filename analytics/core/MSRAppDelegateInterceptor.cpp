#include "analytics/core/MSRAppDelegateInterceptor.h"

#include "analytics/core/MSRAnalytics.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"

namespace {

std::atomic<bool>& proxyCreated() {
    static std::atomic<bool> created{false};
    return created;
}

// The engine's start, which creates the proxy, waits on the facade's serial
// queue for a moment after the launch, and the application may open a link
// in that moment: asked then, the proxy would not be there yet and the link
// would be lost. Asked on that queue, the answer comes after the start.
void forwardLink(const std::string& url) {
    if (proxyCreated()) {
        MSRAnalytics::handleOpenURL(url);
        return;
    }
    const double openedAt = dispatch::Clock::now();
    MSRAnalytics::dispatchAsyncOnSerialQueue([url, openedAt] {
        if (proxyCreated()) MSRAnalytics::handleOpenURLOnSerialQueue(url, openedAt);
    });
}

}  // namespace

MSRAppDelegateInterceptor& MSRAppDelegateInterceptor::sharedInstance() {
    static MSRAppDelegateInterceptor* instance = new MSRAppDelegateInterceptor();  // lives as long as the process
    return *instance;
}

bool MSRAppDelegateInterceptor::isAppDelegateProxyEnabled() {
    const foundation::Value value = foundation::Bundle::main().objectForInfoDictionaryKey("VuzedezoAppDelegateProxyEnabled");
    if (auto flag = value.boolValue()) return *flag;
    if (auto number = value.doubleValue()) return *number != 0;
    return true;
}

void MSRAppDelegateInterceptor::createAppDelegateProxy() { proxyCreated() = true; }

bool MSRAppDelegateInterceptor::isAppDelegateProxyCreated() { return proxyCreated(); }

void MSRAppDelegateInterceptor::removeAppDelegateProxyForTesting() { proxyCreated() = false; }

bool MSRAppDelegateInterceptor::applicationOpenURL(const std::string& url) {
    forwardLink(url);
    return false;
}

bool MSRAppDelegateInterceptor::applicationContinueUserActivity(const std::optional<std::string>& deepLink) {
    if (deepLink && !deepLink->empty()) forwardLink(*deepLink);
    return false;
}

void MSRAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSession(
    const std::string& sessionID, const std::function<void()>& completionHandler) {
    if (proxyCreated()) {
        MSRAnalytics::handleEventsForBackgroundURLSession(sessionID, completionHandler);
    } else if (completionHandler) {
        completionHandler();
    }
}
