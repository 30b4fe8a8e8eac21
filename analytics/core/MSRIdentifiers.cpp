#include "analytics/core/MSRIdentifiers.h"

#include <functional>

#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurementInterface.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRNumericUtil.h"
#include "platform/foundation/SharedSlot.h"

namespace {

void logIdentifiers(int64_t level, int64_t code, std::string_view message) {
    MSRMonitor::shared()->logWithLevel(level, code, message);
}

foundation::SharedSlot<MSRIdentifiers>& sharedSlot() {
    static foundation::SharedSlot<MSRIdentifiers> slot;
    return slot;
}

// The engine takes the shared identity at its component start, so once its
// components are up, the shared identity is the engine's.
bool engineHasIdentity() {
    auto engine = MSRMeasurementInterface::sharedInstance();
    return engine && engine->didInitializeComponents();
}

// Asks the engine's identity when there is one, else the shared identity;
// an absent answer is logged with the code of the identity asked.
std::optional<std::string> ask(const std::function<std::optional<std::string>(MSRIdentity&)>& question,
                               int64_t engineCode, const char* engineMessage, int64_t defaultCode,
                               const char* defaultMessage) {
    const bool fromEngine = engineHasIdentity();
    auto identity = MSRIdentity::sharedInstance();
    std::optional<std::string> answer = identity ? question(*identity) : std::nullopt;
    if (!answer) {
        if (fromEngine) {
            logIdentifiers(2, engineCode, engineMessage);
        } else {
            logIdentifiers(2, defaultCode, defaultMessage);
        }
    }
    return answer;
}

}  // namespace

std::shared_ptr<MSRIdentifiers> MSRIdentifiers::sharedInstance() {
    return sharedSlot().getOrMake([] { return std::make_shared<MSRIdentifiers>(); });
}

void MSRIdentifiers::resetSharedInstanceForTesting() {
    sharedSlot().reset();
}

MSRIdentifiers::MSRIdentifiers() : adEventCounter_(MSRNumericUtil::randomInt64()) {}

std::optional<std::string> MSRIdentifiers::zevureAppID() {
    return ask([](MSRIdentity& identity) { return identity.appIDFromZMP(); }, 37000,
               "Unable to fetch Zevure App ID from identity", 37001,
               "Unable to fetch Zevure App ID from default options");
}

std::optional<std::string> MSRIdentifiers::analyticsAppID() {
    auto identity = MSRIdentity::sharedInstance();
    if (identity) {
        if (auto zmp = identity->appIDFromZMP(); zmp && !zmp->empty()) return zmp;
        if (auto adzev = identity->appIDFromAdzev(); adzev && !adzev->empty()) return adzev;
    }
    logIdentifiers(2, 37005, "Unable to fetch effective App ID from identity");
    return std::nullopt;
}

std::optional<std::string> MSRIdentifiers::appInstanceID() {
    return ask([](MSRIdentity& identity) { return identity.appInstanceID(); }, 37002,
               "Unable to fetch App Instance ID from identity", 37003,
               "Unable to fetch App Instance ID from identity shared instance");
}

std::string MSRIdentifiers::adEventID() {
    // Atomic arithmetic wraps past the largest value instead of overflowing.
    return std::to_string(adEventCounter_.fetch_add(1));
}

std::string MSRIdentifiers::libraryVersion() { return std::to_string(MSRIdentity::rovIdarurozaroLibraryVersion()); }

std::optional<std::string> MSRIdentifiers::origin() {
    std::lock_guard lock(mutex_);
    return origin_;
}

void MSRIdentifiers::setOrigin(const std::string& origin) {
    if (origin.empty()) {
        logIdentifiers(2, 37004, "Cannot set the data collection origin. Origin cannot be empty");
        return;
    }
    std::lock_guard lock(mutex_);
    origin_ = origin;
}
