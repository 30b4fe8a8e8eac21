#include "app/StoredFileBounds.h"

#include "Calvaro/engine/CalcManager.h"
#include "analytics/core/MSRAnalyticsState.h"
#include "analytics/core/MSRTCFClient.h"
#include "analytics/reporters/MSRETaskManager.h"
#include "analytics/storage/Keychain.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRConstants.h"
#include "platform/foundation/StoredFileBounds.h"

namespace app {
namespace {

using foundation::PropertyListBounds;

// The application's own preferences: the history within its bound, as much
// again for the rest (the two current records, each one record of the
// history, the consent, tour and rating flags and counters, the engine's
// keys and the consent platform's IABTCF_ values, all but the records a few
// KiB), and twice that as margin: 262,144 values, 16 MiB.
constexpr PropertyListBounds kStandardFileBound{CalcManager::historyBound.values * 4,
                                                CalcManager::historyBound.bytes * 4};

// Each file of the engine (its suites, the keychain, the persistent
// dictionary): what Calvaro writes there is under 100 values and 16 KiB (the
// largest, the monitor's sampled report with its context, and the consent
// platform's values copied into the consent snapshot); about 64 times that.
constexpr PropertyListBounds kEngineFileBound{8192, uint64_t{1} << 20};
constexpr uint64_t kEngineFiles = 6;

static_assert(kStandardFileBound.values + kEngineFiles * kEngineFileBound.values <=
                  foundation::kStartPropertyListBudget.values &&
              kStandardFileBound.bytes + kEngineFiles * kEngineFileBound.bytes <=
                  foundation::kStartPropertyListBudget.bytes,
              "the files a start reads hold no more than the start's budget");

}  // namespace

void stateStoredFileBounds() {
    const std::string root = kMSRReverseDomainRoot;
    // Named by the standard domain's stand-in name: its domain is the bundle
    // identifier, known once the bundle is.
    foundation::setStoredFileBound(foundation::kStandardDomainBoundName,
                                   {kStandardFileBound,
                                    {CalcManager::calculationsKey, "CurrentCalculation", "CurrentSelectedCalculation",
                                     "countKalAdsPresented", "counterForRating", "didSeedExampleCalculation",
                                     "isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone",
                                     "isYoutubeDsgvoAccepted", "/zevure/*", "IABTCF_*", "ZEVURE_ANALYTICS_*"}});
    const std::pair<std::string, std::vector<std::string>> engineFiles[kEngineFiles] = {
        {MSRAnalyticsState::kSuiteName,
         {"reset_retry_count", "need_first_open_after_reset", "app_instance_id_after_reset",
          "deferred_analytics_collection", "consent_settings*", "consent_source", "deferred_consent_reset"}},
        {MSRETaskManager::kSuiteName, {"MSRExperiment*"}},
        {root + ".monitor", {"/zevure/*"}},
        {MSRTCFClient::snapshotSuiteName(), {"IABTCF_*", "ZEVURE_ANALYTICS_*", "tcf_*"}},
        // Not dictionaries of keys, or written by their engine's code alone.
        {Keychain::kStoredFileName, {}},
        {MSRPersistedConfig::kSuiteName, {}},
    };
    for (const auto& [name, keys] : engineFiles) foundation::setStoredFileBound(name, {kEngineFileBound, keys});
}

}  // namespace app
