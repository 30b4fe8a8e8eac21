#include "platform/host/DEDInteropContainer.h"

#include <mutex>

#include "platform/foundation/SharedSlot.h"

namespace host {

namespace {

struct Contents {
    std::mutex mutex;
    std::map<std::string, std::string> libraries;
    std::map<std::string, DEDInteropContainer::Creation> components;
};

// A shared slot, so that a test harness's reset of shared state forgets it.
std::shared_ptr<Contents> contents() {
    static foundation::SharedSlot<Contents> slot;
    return slot.getOrMake([] { return std::make_shared<Contents>(); });
}

}  // namespace

void DEDInteropContainer::registerInternalLibrary(const std::string& name, const std::string& version) {
    auto held = contents();
    std::lock_guard lock(held->mutex);
    held->libraries[name] = version;
}

std::map<std::string, std::string> DEDInteropContainer::internalLibraries() {
    auto held = contents();
    std::lock_guard lock(held->mutex);
    return held->libraries;
}

void DEDInteropContainer::registerComponent(const std::string& protocol, Creation creation) {
    auto held = contents();
    std::lock_guard lock(held->mutex);
    held->components[protocol] = std::move(creation);
}

std::shared_ptr<void> DEDInteropContainer::instanceForProtocolName(const std::string& protocol) {
    Creation creation;
    {
        auto held = contents();
        std::lock_guard lock(held->mutex);
        auto found = held->components.find(protocol);
        if (found == held->components.end()) return nullptr;
        creation = found->second;
    }
    // Outside the lock: a creation block may ask the container itself.
    return creation ? creation() : nullptr;
}

void DEDInteropContainer::resetForTesting() {
    auto held = contents();
    std::lock_guard lock(held->mutex);
    held->libraries.clear();
    held->components.clear();
}

}  // namespace host
