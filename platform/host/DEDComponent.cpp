#include "platform/host/DEDComponent.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/host/DEDApp.h"

namespace host {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::pair<std::string, DEDComponent::ConfigureHandler>> components;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

void DEDComponent::registerComponent(const std::string& name, ConfigureHandler onConfigure) {
    {
        std::lock_guard lock(registry().mutex);
        auto& components = registry().components;
        if (std::any_of(components.begin(), components.end(), [&](const auto& c) { return c.first == name; })) return;
        components.emplace_back(name, onConfigure);
    }
    // Outside the lock: the handler may register further components.
    if (DEDApp* app = DEDApp::defaultApp(); app && onConfigure) onConfigure(*app);
}

bool DEDComponent::isRegistered(const std::string& name) {
    std::lock_guard lock(registry().mutex);
    const auto& components = registry().components;
    return std::any_of(components.begin(), components.end(), [&](const auto& c) { return c.first == name; });
}

std::vector<std::string> DEDComponent::registeredNames() {
    std::lock_guard lock(registry().mutex);
    std::vector<std::string> names;
    for (const auto& component : registry().components) names.push_back(component.first);
    return names;
}

void DEDComponent::appDidConfigure(const DEDApp& app) {
    std::vector<ConfigureHandler> handlers;
    {
        std::lock_guard lock(registry().mutex);
        for (const auto& component : registry().components) handlers.push_back(component.second);
    }
    for (const auto& handler : handlers)
        if (handler) handler(app);
}

void DEDComponent::resetForTesting() {
    std::lock_guard lock(registry().mutex);
    registry().components.clear();
}

}  // namespace host
