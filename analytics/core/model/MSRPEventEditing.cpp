#include "analytics/core/model/MSRPEventEditing.h"

#include <mutex>

namespace {

std::mutex gFactoryMutex;

MSRPEventEditing::Factory& factory() {
    static MSRPEventEditing::Factory installed;
    return installed;
}

}  // namespace

void MSRPicoLogger::log(const std::string& /*message*/) {}

std::shared_ptr<MSRPEventEditing> MSRPEventEditing::create() {
    Factory current;
    {
        std::lock_guard lock(gFactoryMutex);
        current = factory();
    }
    return current ? current() : nullptr;
}

void MSRPEventEditing::setFactory(Factory newFactory) {
    std::lock_guard lock(gFactoryMutex);
    factory() = std::move(newFactory);
}
