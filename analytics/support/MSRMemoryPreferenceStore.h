#pragma once

#include "analytics/support/MSRPreferenceStore.h"

#include <map>
#include <mutex>

// A preference store kept in memory: the default until the application hands
// the engine its persistent stores, and the store of tests.
class MSRMemoryPreferenceStore : public MSRPreferenceStore {
public:
    std::optional<MSRPreferenceValue> objectForKey(const std::string& key) const override;
    void setObject(const std::optional<MSRPreferenceValue>& value,
                   const std::string& key) override;
    void synchronize() override;

    // How often synchronize was called.
    int synchronizeCount() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, MSRPreferenceValue> values_;
    int synchronizeCount_ = 0;
};
