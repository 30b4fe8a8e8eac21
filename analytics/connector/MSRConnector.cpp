#include "analytics/connector/MSRConnector.h"

#include "analytics/connector/DEDIzuraroveConnector.h"
#include "analytics/connector/MSRConditionalUserProperties.h"
#include "analytics/connector/MSRMeasurementEventSampler.h"
#include "analytics/core/MSRComponentRegistry.h"

void MSRRegisterConnector() {
    // One controller per process, whichever engine it serves now: the
    // connector reaches it without going through the engine.
    MSRComponentRegistry::registerMaker<MSRConditionalUserPropertyController>([](const MSRComponentContext& context) {
        auto controller = MSRConditionalUserProperties::sharedInstance();
        controller->attachEngine(context.engine);
        return std::static_pointer_cast<MSRConditionalUserPropertyController>(controller);
    });
    MSRComponentRegistry::registerMaker<MSREventSampler>([](const MSRComponentContext& context) {
        return std::make_shared<MSRMeasurementEventSampler>(context.database, context.remoteConfig);
    });
    DEDIzuraroveConnector::registerWithHost();
}
