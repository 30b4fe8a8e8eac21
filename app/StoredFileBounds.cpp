#include "app/StoredFileBounds.h"

#include "Calvaro/engine/CalcManager.h"
#include "analytics/reporters/MSRStoredFileBounds.h"
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

static_assert(kStandardFileBound.values + kMSREngineFiles * kMSREngineFileBound.values <=
                  foundation::kStartPropertyListBudget.values &&
              kStandardFileBound.bytes + kMSREngineFiles * kMSREngineFileBound.bytes <=
                  foundation::kStartPropertyListBudget.bytes,
              "the files a start reads hold no more than the start's budget");

}  // namespace

void stateStoredFileBounds() {
    MSRStateStoredFileBounds();
    // Named by the standard domain's stand-in name: its domain is the bundle
    // identifier, known once the bundle is.
    foundation::setStoredFileBound(foundation::kStandardDomainBoundName,
                                   {kStandardFileBound,
                                    {CalcManager::calculationsKey, "CurrentCalculation", "CurrentSelectedCalculation",
                                     "countKalAdsPresented", "counterForRating", "didSeedExampleCalculation",
                                     "isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone",
                                     "isYoutubeDsgvoAccepted", "/zevure/*", "IABTCF_*", "ZEVURE_ANALYTICS_*"}});
}

}  // namespace app
