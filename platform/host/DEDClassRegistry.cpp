#include "platform/host/DEDClassRegistry.h"

#include <map>

#include "platform/foundation/SharedSlot.h"

namespace host {

namespace {

using Classes = std::map<std::string, DEDClassRegistry::Entry>;

foundation::SharedValue<Classes>& registry() {
    static foundation::SharedValue<Classes> classes;
    return classes;
}

}  // namespace

void DEDClassRegistry::registerClass(const std::string& name, Entry entry) {
    registry().with([&](Classes& classes) { classes[name] = std::move(entry); });
}

void DEDClassRegistry::unregisterClass(const std::string& name) {
    registry().with([&](Classes& classes) { classes.erase(name); });
}

bool DEDClassRegistry::isClassPresent(const std::string& name) {
    return registry().with([&](const Classes& classes) { return classes.count(name) != 0; });
}

std::optional<DEDClassRegistry::Entry> DEDClassRegistry::entryForClass(const std::string& name) {
    return registry().with([&](const Classes& classes) -> std::optional<Entry> {
        auto found = classes.find(name);
        if (found == classes.end() || !found->second) return std::nullopt;
        return found->second;
    });
}

void DEDClassRegistry::resetForTesting() { registry().reset(); }

}  // namespace host
