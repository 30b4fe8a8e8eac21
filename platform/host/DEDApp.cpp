#include "platform/host/DEDApp.h"

#include <iostream>
#include <mutex>

#include "platform/foundation/Bundle.h"
#include "platform/host/DEDComponent.h"

namespace host {

namespace {

std::mutex& appMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unique_ptr<DEDApp>& defaultAppSlot() {
    static std::unique_ptr<DEDApp> app;
    return app;
}

}  // namespace

DEDOptions DEDOptions::defaultOptions() {
    DEDOptions options;
    const foundation::Bundle& bundle = foundation::Bundle::main();
    options.bundleID = bundle.bundleIdentifier().value_or("");
    if (auto file = bundle.plistResource("ZevureService-Info")) {
        if (const auto* dictionary = file->dictionary()) {
            options.values = *dictionary;
            if (const auto* appID = (*file)["ZEVURE_APP_ID"].string()) options.appID = *appID;
            if (auto enabled = (*file)["IS_ANALYTICS_COLLECTION_ENABLED"].boolValue())
                options.isAnalyticsCollectionEnabled = *enabled;
            if (auto deactivated = (*file)["IS_ANALYTICS_COLLECTION_DEACTIVATED"].boolValue())
                options.isAnalyticsCollectionDeactivated = *deactivated;
        }
    }
    return options;
}

void DEDApp::configure() { configure(DEDOptions::defaultOptions()); }

void DEDApp::configure(const DEDOptions& options) {
    DEDApp* app = nullptr;
    {
        std::lock_guard lock(appMutex());
        if (defaultAppSlot()) {
            std::cerr << "DEDApp: the default app has already been configured." << std::endl;
            return;
        }
        defaultAppSlot() = std::make_unique<DEDApp>(options);
        app = defaultAppSlot().get();
    }
    // Outside the lock: components ask whether the app is configured.
    DEDComponent::appDidConfigure(*app);
}

DEDApp* DEDApp::defaultApp() {
    std::lock_guard lock(appMutex());
    return defaultAppSlot().get();
}

void DEDApp::resetForTesting() {
    std::lock_guard lock(appMutex());
    defaultAppSlot().reset();
}

}  // namespace host
