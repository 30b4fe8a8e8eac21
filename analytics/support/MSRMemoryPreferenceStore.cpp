#include "analytics/support/MSRMemoryPreferenceStore.h"

std::optional<MSRPreferenceValue> MSRMemoryPreferenceStore::objectForKey(
    const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void MSRMemoryPreferenceStore::setObject(const std::optional<MSRPreferenceValue>& value,
                                         const std::string& key) {
    if (key.empty()) return;
    std::lock_guard lock(mutex_);
    if (value) {
        values_.insert_or_assign(key, *value);
    } else {
        values_.erase(key);
    }
}

void MSRMemoryPreferenceStore::synchronize() {
    std::lock_guard lock(mutex_);
    ++synchronizeCount_;
}

int MSRMemoryPreferenceStore::synchronizeCount() const {
    std::lock_guard lock(mutex_);
    return synchronizeCount_;
}
