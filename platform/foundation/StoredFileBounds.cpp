#include "platform/foundation/StoredFileBounds.h"

#include <map>
#include <mutex>

namespace foundation {
namespace {

std::mutex storedFileBoundsMutex;
std::map<std::string, StoredFileBound>& storedFileBoundsTable() {
    static std::map<std::string, StoredFileBound> table;
    return table;
}

thread_local std::optional<PropertyListBounds> storedFileThreadBounds;

}  // namespace

bool StoredFileBound::knows(const std::string& key) const {
    if (keys.empty()) return true;
    for (const std::string& known : keys) {
        if (!known.empty() && known.back() == '*') {
            if (key.compare(0, known.size() - 1, known, 0, known.size() - 1) == 0) return true;
        } else if (key == known) {
            return true;
        }
    }
    return false;
}

void setStoredFileBound(const std::string& name, StoredFileBound bound) {
    std::lock_guard lock(storedFileBoundsMutex);
    storedFileBoundsTable()[name] = std::move(bound);
}

std::optional<StoredFileBound> storedFileBound(const std::string& name) {
    std::lock_guard lock(storedFileBoundsMutex);
    auto found = storedFileBoundsTable().find(name);
    if (found == storedFileBoundsTable().end()) return std::nullopt;
    return found->second;
}

void resetStoredFileBounds() {
    std::lock_guard lock(storedFileBoundsMutex);
    storedFileBoundsTable().clear();
}

StoredFileScope::StoredFileScope(const std::optional<StoredFileBound>& bound) : previous_(storedFileThreadBounds) {
    if (bound) storedFileThreadBounds = bound->bounds;
}

StoredFileScope::~StoredFileScope() {
    storedFileThreadBounds = previous_;
}

std::optional<PropertyListBounds> storedFileScopeBounds() {
    return storedFileThreadBounds;
}

}  // namespace foundation
