#include "platform/host/DEDApp.h"

#include <iostream>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/host/DEDComponent.h"

namespace host {

namespace {

foundation::SharedSlot<DEDApp>& defaultAppSlot() {
    static foundation::SharedSlot<DEDApp> slot;
    return slot;
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
    bool made = false;
    auto app = defaultAppSlot().getOrMake([&] {
        made = true;
        return std::make_shared<DEDApp>(options);
    });
    if (!made) {
        std::cerr << "DEDApp: the default app has already been configured." << std::endl;
        return;
    }
    // Outside the slot's lock: components ask whether the app is configured.
    DEDComponent::appDidConfigure(*app);
}

DEDApp* DEDApp::defaultApp() {
    return defaultAppSlot().get().get();
}

void DEDApp::resetForTesting() {
    defaultAppSlot().reset();
}

}  // namespace host
