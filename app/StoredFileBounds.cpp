#include "app/StoredFileBounds.h"

#include "Calvaro/engine/CalcManager.h"
#include "analytics/reporters/MSRStoredFileBounds.h"
#include "platform/foundation/StoredFileBounds.h"

#include <string>
#include <utility>
#include <vector>

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

// What each family of the engine's and the consent platform's keys may hold
// of it (what a start writes there is a few KiB): a sixteenth, 16,384 values
// and 1 MiB. Past that, the family's largest values give way.
constexpr PropertyListBounds kStandardFamilyShare{kStandardFileBound.values / 16, kStandardFileBound.bytes / 16};

static_assert(kStandardFileBound.values + kMSREngineFiles * kMSREngineFileBound.values <=
                  foundation::kStartPropertyListBudget.values &&
              kStandardFileBound.bytes + kMSREngineFiles * kMSREngineFileBound.bytes <=
                  foundation::kStartPropertyListBudget.bytes,
              "the files a start reads hold no more than the start's budget");

}  // namespace

void stateStoredFileBounds() {
    MSRStateStoredFileBounds();
    using Type = foundation::Value::Type;
    // The user's values, in the order they stay: the consent marks and the
    // collection switch, the tour and rating marks and counters, the current
    // exercises, then the history (whose newest records stay within its own
    // bound when it cannot whole).
    const PropertyListBounds record{CalcManager::historyBound.values, CalcManager::historyBound.bytes};
    std::vector<foundation::StoredKey> keys{
        {"isDsgvoAccepted", Type::Bool, foundation::kStoredScalarBound},
        {"isYoutubeDsgvoAccepted", Type::Bool, foundation::kStoredScalarBound},
        {MSRMeasurementEnabledStateKey(), Type::Integer, foundation::kStoredScalarBound},
        {"isOnboardingFinished", Type::Bool, foundation::kStoredScalarBound},
        {"isRatingAlreadyDone", Type::Bool, foundation::kStoredScalarBound},
        {"counterForRating", Type::Integer, foundation::kStoredScalarBound},
        {"countKalAdsPresented", Type::Integer, foundation::kStoredScalarBound},
        {CalcManager::exampleSeededKey, Type::Bool, foundation::kStoredScalarBound},
        {CalcManager::currentSelectedCalculationKey, Type::Dictionary, record},
        {CalcManager::currentCalculationKey, Type::Dictionary, record},
        {CalcManager::calculationsKey, Type::List, record, Type::Dictionary},
    };
    std::vector<std::string> user;
    for (const auto& key : keys) user.push_back(key.key);
    std::vector<std::pair<std::string, PropertyListBounds>> shares;
    for (const char* family : {"/zevure/*", "IABTCF_*", "ZEVURE_ANALYTICS_*"}) {
        keys.emplace_back(family);
        shares.emplace_back(family, kStandardFamilyShare);
    }
    // Named by the standard domain's stand-in name: its domain is the bundle
    // identifier, known once the bundle is.
    foundation::setStoredFileBound(foundation::kStandardDomainBoundName,
                                   {kStandardFileBound, std::move(keys), std::move(user), std::move(shares)});
}

}  // namespace app
