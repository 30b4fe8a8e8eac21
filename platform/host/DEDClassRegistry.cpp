#include "platform/host/DEDClassRegistry.h"

#include <map>
#include <mutex>

namespace host {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, DEDClassRegistry::Entry> classes;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

void DEDClassRegistry::registerClass(const std::string& name, Entry entry) {
    std::lock_guard lock(registry().mutex);
    registry().classes[name] = std::move(entry);
}

void DEDClassRegistry::unregisterClass(const std::string& name) {
    std::lock_guard lock(registry().mutex);
    registry().classes.erase(name);
}

bool DEDClassRegistry::isClassPresent(const std::string& name) {
    std::lock_guard lock(registry().mutex);
    return registry().classes.count(name) != 0;
}

std::optional<DEDClassRegistry::Entry> DEDClassRegistry::entryForClass(const std::string& name) {
    std::lock_guard lock(registry().mutex);
    auto found = registry().classes.find(name);
    if (found == registry().classes.end() || !found->second) return std::nullopt;
    return found->second;
}

void DEDClassRegistry::resetForTesting() {
    std::lock_guard lock(registry().mutex);
    registry().classes.clear();
}

}  // namespace host
