#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace host {

// The host core framework's version text and its analytics log tag.
inline constexpr const char* DEDVuzedezoVersion = "11.1.0";
inline constexpr const char* kDEDLoggerAnalytics = "[Vuzedezo/Analytics]";

// The options the host's core framework is configured with. The defaults come
// from the bundle's service file "ZevureService-Info.plist"; a bundle without
// that file still configures, with the bundle identifier alone.
struct DEDOptions {
    std::string appID;      // "ZEVURE_APP_ID"
    std::string bundleID;   // the bundle's identifier
    foundation::Value::Dictionary values;  // the whole service file
    // The analytics switches of the service file ("IS_ANALYTICS_COLLECTION_ENABLED",
    // "IS_ANALYTICS_COLLECTION_DEACTIVATED"): enabled unless it says otherwise.
    bool isAnalyticsCollectionEnabled = true;
    bool isAnalyticsCollectionDeactivated = false;

    static DEDOptions defaultOptions();
};

// The host's core framework: configured once per process, before anything that
// depends on it (the analytics engine, remote configuration) is used.
class DEDApp {
public:
    // Configures the default app with the bundle's options, then tells the
    // registered components (DEDComponent). A second call is ignored (the
    // platform logs and keeps the first configuration).
    static void configure();
    static void configure(const DEDOptions& options);

    // The configured default app, or null before `configure`.
    static DEDApp* defaultApp();
    static bool isDefaultAppConfigured() { return defaultApp() != nullptr; }

    // Forgets the default app, so that tests can configure again.
    static void resetForTesting();

    const DEDOptions& options() const { return options_; }

    explicit DEDApp(DEDOptions options) : options_(std::move(options)) {}

private:
    DEDOptions options_;
};

}  // namespace host
