#include "platform/host/DEDApp.h"

#include <iostream>
#include <mutex>

#include "platform/foundation/Bundle.h"

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
        }
    }
    return options;
}

void DEDApp::configure() { configure(DEDOptions::defaultOptions()); }

void DEDApp::configure(const DEDOptions& options) {
    std::lock_guard lock(appMutex());
    if (defaultAppSlot()) {
        std::cerr << "DEDApp: the default app has already been configured." << std::endl;
        return;
    }
    defaultAppSlot() = std::make_unique<DEDApp>(options);
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
