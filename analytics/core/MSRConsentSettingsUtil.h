#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The process-wide holder of the user's consent: the explicit settings in
// force (type key -> "granted" / "denied" / "eu_consent_policy"), the source
// they came from (a lower number wins; 100: nothing set) and the server's
// defaults, delegations and regional defaults. Class operations only; every
// operation is atomic with respect to the others.
//
// This holds the part of the consent rules that the facade needs; the upload
// codes (signals, diagnostics) and the bundle defaults belong beside it.
class MSRConsentSettingsUtil {
public:
    using Settings = foundation::Value::Dictionary;

    static constexpr const char* kAdStorage = "ad_storage";
    static constexpr const char* kAnalyticsStorage = "analytics_storage";
    static constexpr const char* kAdUserData = "ad_user_data";
    static constexpr const char* kAdPersonalization = "ad_personalization";
    static constexpr int64_t kSourceNone = 100;

    MSRConsentSettingsUtil() = delete;

    static std::optional<Settings> consentSettings();
    // Nothing also sets the source back to 100.
    static void setConsentSettings(const std::optional<Settings>& settings);
    static int64_t consentSource();
    static void setConsentSource(int64_t source);
    static void setDefaultSettings(const std::optional<Settings>& settings);
    static void setDelegatedSettings(const std::optional<Settings>& settings);
    static void setRegionalDefaults(const std::optional<Settings>& settings);

    // Overlays `settings` on the settings in force and takes `source`.
    static void updateSettings(const Settings& settings, int64_t source);

    static bool isAdStorageDenied();
    static bool isAnalyticsStorageDenied();
    static bool isAdUserDataDenied();
    // true granted, false denied, nothing when neither can be told.
    static std::optional<bool> adPersonalization();
    static bool didAdUserDataConsentChange(bool wasAdUserDataDenied);

    static bool isConsentSourceEqualPriority(int64_t source);
    static bool isConsentSourceHigherPriority(int64_t source);

    // Only the four type keys of `dictionary`, values unchanged.
    static Settings consentSettingsFromDictionary(const foundation::Value::Dictionary& dictionary);
    static std::string description();

    static void unsetAdPersonalization();
    // Source 100 and every table empty.
    static void clearAllSettings();
};
