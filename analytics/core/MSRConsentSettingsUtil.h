#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The process-wide holder of the user's consent: the explicit settings in
// force (type key -> "granted" / "denied" / "eu_consent_policy"), the source
// they came from (a lower number wins; 100: nothing set) and the server's
// defaults, delegations and regional defaults. Class operations only; every
// operation is atomic with respect to the others.
//
// It also produces the two short codes that travel with every upload bundle:
// the consent signals and the consent diagnostics.
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
    // The server's tables: consent defaults, delegations (type -> the type it
    // takes its value from) and the regional defaults that resolve
    // "eu_consent_policy". Nothing clears a table.
    static std::optional<Settings> defaultSettings();
    static void setDefaultSettings(const std::optional<Settings>& settings);
    static std::optional<Settings> delegatedSettings();
    static void setDelegatedSettings(const std::optional<Settings>& settings);
    static std::optional<Settings> regionalDefaults();
    static void setRegionalDefaults(const std::optional<Settings>& settings);
    // 1 or 2; any other value is ignored.
    static int64_t version();
    static void setVersion(int64_t version);

    // Overlays `settings` on the settings in force and takes `source`; each
    // given type takes the source's diagnostic code.
    static void updateSettings(const Settings& settings, int64_t source);
    // Overlays `settings`, keeping the source.
    static void updateSettings(const Settings& settings);

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
    // The defaults the application declares in its Info.plist.
    static Settings consentSettingsFromPlist();
    static std::string description();

    static void unsetAdPersonalization();
    // The explicit settings, their source and diagnostic digits, as a whole:
    // what restoreExplicitSettings puts back exactly as it was.
    struct Explicit {
        std::optional<Settings> settings;
        int64_t source = kSourceNone;
        std::optional<std::map<std::string, int64_t>> diagnostics;
    };
    static Explicit explicitSettings();
    static void restoreExplicitSettings(const Explicit& held);
    // Source 100 and every table empty.
    static void clearAllSettings();

    // What travels with every upload: "G1" and one mark each for ad storage
    // and analytics storage ("0" denied, "1" granted, "-" otherwise); and "1"
    // followed by one diagnostic digit per type, in the order ad storage,
    // analytics storage, ad user data, ad personalization.
    // Moves on with every change of the settings, the source or the
    // diagnostics: while it stays, every answer of this class stays.
    static uint64_t changeCount();
    static std::string consentSignals();
    static std::string consentDiagnostics();
    // Diagnostic digits: 0 none recorded, 1 server default, 2 delegation,
    // 3 Info.plist, 4 start options, 5 public interface, 7 TCF data,
    // 8 "eu_consent_policy", 9 not set.
    static void setDiagnosticSource(int64_t code, const std::string& consentType);
    static void resetDiagnosticSources();
    // Recomputes the digits; with `fromSource`, types that are set take the
    // digit of the current source.
    static void refreshDiagnosticSources(bool fromSource);
};
