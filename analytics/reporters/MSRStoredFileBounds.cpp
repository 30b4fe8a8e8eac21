#include "analytics/reporters/MSRStoredFileBounds.h"

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "analytics/core/MSRAnalyticsState.h"
#include "analytics/core/MSRTCFClient.h"
#include "analytics/core/MSRTCFData.h"
#include "analytics/reporters/MSRETaskManager.h"
#include "analytics/storage/Keychain.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRConstants.h"
#include "platform/foundation/StoredFileBounds.h"

namespace {

using foundation::StoredKey;
using Type = foundation::Value::Type;

// The type each kind of persisted property is written as: a flag as an
// integer 0 or 1, a raw value as whatever it holds.
template <typename T>
constexpr Type MSRStoredPropertyType() {
    using Text = MSRPersistedConfig::Text;
    if constexpr (std::is_same_v<T, double>) return Type::Double;
    if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, bool>) return Type::Integer;
    if constexpr (std::is_same_v<T, Text>) return Type::String;
    return Type::Absent;
}

// Every key of the persisted configuration with its type; the rest of its
// prefix, of any type, after them.
std::vector<StoredKey> MSRPersistedConfigKeys() {
    const std::string prefix = MSRPersistedConfig::kKeyPrefix;
    std::vector<StoredKey> keys;
    const auto scalar = [&](const char* suffix, Type type) {
        const foundation::PropertyListBounds bound =
            type == Type::String ? foundation::kStoredTextBound : foundation::kStoredScalarBound;
        keys.emplace_back(prefix + suffix, type, type == Type::Absent ? kMSREngineFileBound : bound);
    };
    using Text = MSRPersistedConfig::Text;
    using Raw = MSRPersistedConfig::Raw;
#define MSR_STORED_PROPERTY_KEY(Kind, getter, setter, suffix) scalar(suffix, MSRStoredPropertyType<Kind>());
    MSR_PERSISTED_CONFIG_PROPERTIES(MSR_STORED_PROPERTY_KEY)
#undef MSR_STORED_PROPERTY_KEY
    scalar("midnight_offset", Type::Double);
    scalar("last_modified_since_key", Type::String);
    scalar("is_search_ad_campaign", Type::Absent);
    scalar("previous_first_open_count", Type::Absent);
    keys.emplace_back(prefix + "ad_campaign_info_buffer", Type::Bytes, kMSREngineFileBound);
    keys.emplace_back(prefix + "default_event_parameters", Type::Dictionary, kMSREngineFileBound);
    keys.emplace_back(prefix + "pending_automatic_events", Type::Dictionary, kMSREngineFileBound);
    keys.emplace_back(prefix + "*");
    return keys;
}

}  // namespace

std::string MSRMeasurementEnabledStateKey() {
    return std::string(MSRPersistedConfig::kKeyPrefix) + "measurement_enabled_state";
}

void MSRStateStoredFileBounds() {
    const auto scalar = foundation::kStoredScalarBound;
    const auto text = foundation::kStoredTextBound;
    // The analytics state's suite: the deferred collection switch is the
    // user's, the consent settings dictionaries the engine's.
    foundation::setStoredFileBound(
        MSRAnalyticsState::kSuiteName,
        {kMSREngineFileBound,
         {{"deferred_analytics_collection", Type::Integer, scalar},
          {"reset_retry_count", Type::Integer, scalar},
          {"need_first_open_after_reset", Type::Bool, scalar},
          {"app_instance_id_after_reset", Type::String, text},
          {"consent_source", Type::Integer, scalar},
          {"consent_settings*", Type::Dictionary, kMSREngineFileBound},
          {"deferred_consent_reset"}},
         {"deferred_analytics_collection"}});
    const std::pair<std::string, std::vector<StoredKey>> files[] = {
        {MSRETaskManager::kSuiteName, {"MSRExperiment*"}},
        {std::string(kMSRReverseDomainRoot) + ".monitor", {"/zevure/*"}},
        {MSRTCFClient::snapshotSuiteName(),
         {{MSRTCFData::kTCFDataEnabledKey, Type::Bool, scalar},
          {MSRTCFClient::kStringRepresentationKey, Type::String, kMSREngineFileBound},
          "IABTCF_*",
          "ZEVURE_ANALYTICS_*",
          "tcf_*"}},
        // A list of items, not a dictionary of keys.
        {Keychain::kStoredFileName, {}},
        {MSRPersistedConfig::kSuiteName, MSRPersistedConfigKeys()},
    };
    static_assert(std::size(files) + 1 == kMSREngineFiles);
    for (const auto& [name, keys] : files) foundation::setStoredFileBound(name, {kMSREngineFileBound, keys});
}
