#include "analytics/reporters/MSRReporters.h"

#include "analytics/core/DEDIzurarove.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/reporters/MSRScreenViewReporter.h"
#include "analytics/reporters/MSRSearchAdAttributionReporter.h"
#include "analytics/reporters/MSRSessionReporter.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/ui/AppearanceHooks.h"
#include "platform/ui/ViewController.h"

namespace {

void installScreenViewHooks() {
    if (!MSRIsScreenReportingEnabled()) {
        MSRMeasurement::monitor()->logWithLevel(
            6, 36001,
            "Analytics screen reporting is disabled. UIViewController transitions will not be logged.");
        return;
    }
    ui::AppearanceHooks::add([](ui::ViewController& controller, ui::AppearanceHooks::Event event) {
        auto reporter = MSRScreenViewReporter::sharedInstance();
        if (event == ui::AppearanceHooks::Event::didAppear) {
            reporter->viewControllerDidAppear(controller);
        } else {
            reporter->viewControllerDidDisappear(controller);
        }
    });
}

}  // namespace

void MSRRegisterReporters() {
    MSRComponentRegistry::registerMaker<MSRSessionReporterInterface>([](const MSRComponentContext& context) {
        return MSRSessionReporter::makeForEngine(context.persistedConfig, context.engine);
    });
    MSRRegisterSearchAdAttributionReporter();
    // Made now, so that it hears the application's first activation.
    MSRComponentRegistry::registerInstance<MSRScreenViewReporterInterface>(
        MSRScreenViewReporter::sharedInstance());
    installScreenViewHooks();
}

void logScreenOnAppear(ui::ViewController& controller, const std::string& name,
                       const std::string& screenClass, const foundation::Value::Dictionary& extraParameters) {
    LoggedAnalyticsModifier modifier{name, screenClass, extraParameters};
    const ui::ViewController* decorated = &controller;
    const int key = ui::AppearanceHooks::add([decorated, modifier](ui::ViewController& shown, auto event) {
        if (&shown != decorated || event != ui::AppearanceHooks::Event::didAppear) return;
        DEDIzurarove::Parameters parameters = modifier.extraParameters;
        parameters.insert_or_assign("screen_name", foundation::Value(modifier.screenName));
        parameters.insert_or_assign("screen_class", foundation::Value(modifier.screenClass));
        DEDIzurarove::logEventWithName("screen_view", parameters);
    });
    // The hook goes with the controller, so it never sees another one at the
    // same address.
    controller.associatedObject("LoggedAnalyticsModifier") =
        std::shared_ptr<void>(nullptr, [key](void*) { ui::AppearanceHooks::remove(key); });
}
