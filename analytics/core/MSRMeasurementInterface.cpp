#include "analytics/core/MSRMeasurementInterface.h"

#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRMeasurement.h"
#include "platform/foundation/SharedSlot.h"

namespace {

foundation::SharedSlot<MSRMeasurementInterface>& engineSlot() {
    static foundation::SharedSlot<MSRMeasurementInterface> slot;
    return slot;
}

}  // namespace

void MSRMeasurementInterface::initializeSharedInstance(const MSRMeasurementStartParameters& parameters) {
    if (engineSlot().get()) return;
    // The engine's start may ask for the shared instance: made outside the lock.
    MSRComponentContext context;
    context.startParameters = parameters;
    auto engine = MSRComponentRegistry::make<MSRMeasurementInterface>(context);
    if (engine) engineSlot().getOrMake([&] { return std::move(engine); });
}

std::shared_ptr<MSRMeasurementInterface> MSRMeasurementInterface::sharedInstance() { return engineSlot().get(); }

void MSRMeasurementInterface::resetForTesting() {
    MSRComponentRegistry::registerInstance<MSRMeasurementInterface>(nullptr);
    engineSlot().reset();
    MSRMeasurement::resetSharedInstanceForTesting();
}
