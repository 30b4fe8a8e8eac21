#include "platform/foundation/StoredFileBounds.h"

#include "platform/foundation/PropertyList.h"

#include <algorithm>
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

std::vector<std::string> storedFileKeysToGiveWay(const Value::Dictionary& values, const StoredFileBound& bound,
                                                 const std::string& changed) {
    if (bound.keys.empty()) return {};
    const PropertyListBounds limit = [&] {
        StoredFileScope scope(bound);
        return propertyListBounds();
    }();
    PropertyListSize total = propertyListSize(Value(values));
    std::vector<std::pair<PropertyListSize, std::string>> unknown;
    for (const auto& [key, value] : values) {
        if (key == changed || bound.knows(key)) continue;
        PropertyListSize size = propertyListSize(value, 1);
        size.values += 1;
        size.bytes += plistxml::keyBytes(1, plistxml::escapedLength(key));
        unknown.emplace_back(size, key);
    }
    std::sort(unknown.begin(), unknown.end(), [](const auto& a, const auto& b) {
        return a.first.bytes != b.first.bytes ? a.first.bytes > b.first.bytes : a.first.values > b.first.values;
    });
    std::vector<std::string> giving;
    for (const auto& [size, key] : unknown) {
        if (total.values <= limit.values && total.bytes <= limit.bytes) break;
        total.values -= size.values;
        total.bytes -= size.bytes;
        giving.push_back(key);
    }
    if (total.values > limit.values || total.bytes > limit.bytes) return {};
    return giving;
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
