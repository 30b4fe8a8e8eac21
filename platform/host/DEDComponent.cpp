#include "platform/host/DEDComponent.h"

#include <algorithm>
#include <utility>

#include "platform/foundation/SharedSlot.h"
#include "platform/host/DEDApp.h"

namespace host {

namespace {

// In the order of registration.
using Components = std::vector<std::pair<std::string, DEDComponent::ConfigureHandler>>;

foundation::SharedValue<Components>& componentRegistry() {
    static foundation::SharedValue<Components> components;
    return components;
}

bool contains(const Components& components, const std::string& name) {
    return std::any_of(components.begin(), components.end(), [&](const auto& c) { return c.first == name; });
}

}  // namespace

void DEDComponent::registerComponent(const std::string& name, ConfigureHandler onConfigure) {
    const bool added = componentRegistry().with([&](Components& components) {
        if (contains(components, name)) return false;
        components.emplace_back(name, onConfigure);
        return true;
    });
    if (!added) return;
    // Outside the lock: the handler may register further components.
    if (DEDApp* app = DEDApp::defaultApp(); app && onConfigure) onConfigure(*app);
}

bool DEDComponent::isRegistered(const std::string& name) {
    return componentRegistry().with([&](const Components& components) { return contains(components, name); });
}

std::vector<std::string> DEDComponent::registeredNames() {
    return componentRegistry().with([](const Components& components) {
        std::vector<std::string> names;
        for (const auto& component : components) names.push_back(component.first);
        return names;
    });
}

void DEDComponent::appDidConfigure(const DEDApp& app) {
    const std::vector<ConfigureHandler> handlers = componentRegistry().with([](const Components& components) {
        std::vector<ConfigureHandler> list;
        for (const auto& component : components) list.push_back(component.second);
        return list;
    });
    for (const auto& handler : handlers)
        if (handler) handler(app);
}

void DEDComponent::resetForTesting() {
    componentRegistry().reset();
}

}  // namespace host
