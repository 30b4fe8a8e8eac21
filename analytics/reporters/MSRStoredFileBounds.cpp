#include "analytics/reporters/MSRStoredFileBounds.h"

#include <string>
#include <utility>
#include <vector>

#include "analytics/core/MSRAnalyticsState.h"
#include "analytics/core/MSRTCFClient.h"
#include "analytics/reporters/MSRETaskManager.h"
#include "analytics/storage/Keychain.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRConstants.h"
#include "platform/foundation/StoredFileBounds.h"

void MSRStateStoredFileBounds() {
    const std::pair<std::string, std::vector<std::string>> files[kMSREngineFiles] = {
        {MSRAnalyticsState::kSuiteName,
         {"reset_retry_count", "need_first_open_after_reset", "app_instance_id_after_reset",
          "deferred_analytics_collection", "consent_settings*", "consent_source", "deferred_consent_reset"}},
        {MSRETaskManager::kSuiteName, {"MSRExperiment*"}},
        {std::string(kMSRReverseDomainRoot) + ".monitor", {"/zevure/*"}},
        {MSRTCFClient::snapshotSuiteName(), {"IABTCF_*", "ZEVURE_ANALYTICS_*", "tcf_*"}},
        // A list of items, not a dictionary of keys.
        {Keychain::kStoredFileName, {}},
        {MSRPersistedConfig::kSuiteName, {std::string(MSRPersistedConfig::kKeyPrefix) + "*"}},
    };
    for (const auto& [name, keys] : files) foundation::setStoredFileBound(name, {kMSREngineFileBound, keys});
}
