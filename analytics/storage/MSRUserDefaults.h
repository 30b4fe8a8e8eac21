#pragma once

// The engine's typed view of one preference suite of the application's user
// defaults (the same store the application uses): values are written through
// at once; `synchronize` retries a failed write and keeps the suite's file out
// of backups.

#include <memory>
#include <mutex>
#include <string>

#include "analytics/support/MSRPreferenceStore.h"
#include "analytics/storage/MSRConfigStore.h"
#include "platform/foundation/UserDefaults.h"

class MSRUserDefaults : public MSRConfigStore {
  public:
    // The application's own preferences. Never marks the application's file.
    static std::shared_ptr<MSRUserDefaults> sharedUserDefaults();

    // An empty name is the application's own preferences.
    explicit MSRUserDefaults(std::string suiteName = "");

    foundation::Value objectForKey(const std::string& key) override;
    void setObject(const foundation::Value& value, const std::string& key) override;
    void clearAllData() override;
    void synchronize() override;

    const std::string& suiteName() const { return suiteName_; }
    bool isPreferenceFileExcluded() const;
    void setIsPreferenceFileExcluded(bool excluded);

  private:
    // Resolved per call, so that the handle follows the current data root.
    foundation::UserDefaults defaults() const;

    std::string suiteName_;
    mutable std::mutex exclusionMutex_;
    bool isPreferenceFileExcluded_ = false;
};

// Lets the monitor keep its switches and health data in a preference suite.
class MSRUserDefaultsPreferenceStore : public MSRPreferenceStore {
  public:
    explicit MSRUserDefaultsPreferenceStore(std::shared_ptr<MSRUserDefaults> defaults);

    std::optional<MSRPreferenceValue> objectForKey(const std::string& key) const override;
    void setObject(const std::optional<MSRPreferenceValue>& value, const std::string& key) override;
    void synchronize() override;

  private:
    std::shared_ptr<MSRUserDefaults> defaults_;
};
