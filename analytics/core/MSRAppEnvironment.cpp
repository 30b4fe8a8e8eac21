#include "analytics/core/MSRAppEnvironment.h"

#include <cmath>
#include <cstdlib>

#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"

void MSRStoreDeepLink(MSRConfigStore& store, const std::string& link) {
    // Readers go by the link: its time is there before it.
    store.setObject(foundation::Value(dispatch::Clock::now()), kMSRDeepLinkTimestampKey);
    store.setObject(foundation::Value(link), kMSRDeepLinkKey);
}

bool MSRIsStoredDeepLinkExpired(MSRConfigStore& store, double timeToLive) {
    auto stored = store.numberForKey(kMSRDeepLinkTimestampKey).doubleValue();
    if (!stored) return false;
    return std::fabs(dispatch::Clock::now() - *stored) > timeToLive;
}

void MSRClearStoredDeepLink(MSRConfigStore& store) {
    store.removeObjectForKey(kMSRDeepLinkKey);
    store.removeObjectForKey(kMSRDeepLinkTimestampKey);
}

bool MSRClearExpiredDeepLink(MSRRemoteConfig& remoteConfig) {
    auto store = MSRUserDefaults::sharedUserDefaults();
    if (!MSRIsStoredDeepLinkExpired(*store, remoteConfig.attributionCacheTTLInterval())) return false;
    MSRClearStoredDeepLink(*store);
    return true;
}

int64_t MSRPreviousHourStartMillis(int64_t millis) {
    constexpr int64_t kHour = 3'600'000;
    return (millis / kHour) * kHour - kHour;
}

bool MSRIsActivePrewarm() {
    const char* value = std::getenv("ActivePrewarm");
    if (!value) return false;
    // The platform's boolean reading of text: a leading Y, y, T, t or 1-9.
    for (const char* c = value; *c; ++c) {
        if (*c == ' ' || *c == '+' || *c == '-' || *c == '0') continue;
        return *c == 'Y' || *c == 'y' || *c == 'T' || *c == 't' || (*c >= '1' && *c <= '9');
    }
    return false;
}

bool MSRHasSceneManifest(const foundation::Bundle* bundle) {
    const foundation::Bundle& where = bundle ? *bundle : foundation::Bundle::main();
    return !where.objectForInfoDictionaryKey("UIApplicationSceneManifest").isAbsent();
}
