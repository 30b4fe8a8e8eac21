#include "analytics/core/MSRMeasurementInterface.h"

#include <mutex>

#include "analytics/core/MSRMeasurement.h"

namespace {

struct Slot {
    std::mutex mutex;
    // The real engine unless a test installs another; set here rather than by
    // a static initializer in the engine's file, which the linker may drop.
    MSRMeasurementInterface::Factory factory = MSRMeasurementInterface::defaultFactory();
    std::shared_ptr<MSRMeasurementInterface> instance;
};

Slot& slot() {
    static Slot instance;
    return instance;
}

}  // namespace

MSRMeasurementInterface::Factory MSRMeasurementInterface::defaultFactory() {
    return [](const MSRMeasurementStartParameters& parameters) -> std::shared_ptr<MSRMeasurementInterface> {
        MSRMeasurement::initializeSharedInstanceWithAppID(parameters.appID, parameters.isAnalyticsCollectionEnabled,
                                                          parameters.isAnalyticsCollectionDeactivated,
                                                          parameters.safelistedEvents);
        return MSRMeasurement::sharedInstance();
    };
}

void MSRMeasurementInterface::setFactory(Factory factory) {
    std::lock_guard lock(slot().mutex);
    slot().factory = std::move(factory);
}

void MSRMeasurementInterface::initializeSharedInstance(const MSRMeasurementStartParameters& parameters) {
    Factory factory;
    {
        std::lock_guard lock(slot().mutex);
        if (slot().instance || !slot().factory) return;
        factory = slot().factory;
    }
    // The engine's start may ask for the shared instance: made outside the lock.
    auto engine = factory(parameters);
    std::lock_guard lock(slot().mutex);
    if (!slot().instance) slot().instance = std::move(engine);
}

std::shared_ptr<MSRMeasurementInterface> MSRMeasurementInterface::sharedInstance() {
    std::lock_guard lock(slot().mutex);
    return slot().instance;
}

void MSRMeasurementInterface::resetForTesting() {
    {
        std::lock_guard lock(slot().mutex);
        slot().factory = nullptr;
        slot().instance = nullptr;
    }
    MSRMeasurement::resetSharedInstanceForTesting();
}
