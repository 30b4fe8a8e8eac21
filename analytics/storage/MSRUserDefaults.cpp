#include "analytics/storage/MSRUserDefaults.h"

#include <filesystem>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRStorageLog.h"

using foundation::Value;

std::shared_ptr<MSRUserDefaults> MSRUserDefaults::sharedUserDefaults() {
    static std::shared_ptr<MSRUserDefaults> shared = [] {
        auto defaults = std::make_shared<MSRUserDefaults>();
        defaults->setIsPreferenceFileExcluded(true);
        return defaults;
    }();
    return shared;
}

MSRUserDefaults::MSRUserDefaults(std::string suiteName) : suiteName_(std::move(suiteName)) {}

foundation::UserDefaults MSRUserDefaults::defaults() const {
    return suiteName_.empty() ? foundation::UserDefaults::standard() : foundation::UserDefaults(suiteName_);
}

Value MSRUserDefaults::objectForKey(const std::string& key) {
    if (!acceptsKey(key, 41001, "Cannot get object for invalid user default key.")) return Value();
    return defaults().object(key);
}

void MSRUserDefaults::setObject(const Value& value, const std::string& key) {
    if (!acceptsKey(key, 41002, "Cannot set object for invalid user default key.")) return;
    if (value.isAbsent()) {
        defaults().remove(key);
        return;
    }
    if (!acceptsValue(value, 41003,
                      "Cannot set invalid object to user defaults. Must be a string or number or an array. "
                      "Value ")) {
        return;
    }
    // A failed file write keeps the value in memory; synchronize retries it.
    defaults().set(key, value);
}

void MSRUserDefaults::clearAllData() {
    foundation::UserDefaults suite = defaults();
    if (!suite.keys().empty()) suite.removeAll();
}

void MSRUserDefaults::synchronize() {
    if (!defaults().synchronize()) {
        MSRStorageConsoleLog(MSRConsoleSeverity::kError, 41004, "Cannot synchronize user defaults to disk");
    }
    std::string path = MSRPreferencesPlistPath(suiteName_);
    std::lock_guard lock(exclusionMutex_);
    std::error_code ec;
    if (isPreferenceFileExcluded_ || path.empty() || !std::filesystem::exists(path, ec)) return;
    MSRError error;
    if (MSRExcludePathFromBackup(path, &error)) {
        isPreferenceFileExcluded_ = true;
    } else {
        MSRStorageConsoleLog(
            MSRConsoleSeverity::kWarning, 41000,
            "Failed to exclude preferences file from backup. Error code " + error.description());
    }
}

bool MSRUserDefaults::isPreferenceFileExcluded() const {
    std::lock_guard lock(exclusionMutex_);
    return isPreferenceFileExcluded_;
}

void MSRUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
    std::lock_guard lock(exclusionMutex_);
    isPreferenceFileExcluded_ = excluded;
}

// --- The monitor's view ------------------------------------------------------

namespace {

Value toValue(const MSRPreferenceValue& value) {
    return std::visit(
        [](const auto& v) -> Value {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, MSRPreferenceDate>) {
                return Value(foundation::Date{v.secondsSince1970});
            } else if constexpr (std::is_same_v<T, MSRPreferenceValue::Array>) {
                Value::List list;
                for (const auto& item : v) list.push_back(toValue(item));
                return Value(std::move(list));
            } else if constexpr (std::is_same_v<T, int64_t>) {
                return Value(static_cast<long long>(v));
            } else {
                return Value(v);
            }
        },
        value.storage());
}

std::optional<MSRPreferenceValue> fromValue(const Value& value) {
    std::optional<MSRPreferenceValue> result;
    if (auto b = value.boolValue()) {
        result.emplace(*b);
    } else if (auto i = value.integerValue()) {
        result.emplace(*i);
    } else if (value.type() == Value::Type::Double) {
        result.emplace(*value.doubleValue());
    } else if (const std::string* text = value.string()) {
        result.emplace(*text);
    } else if (auto date = value.date()) {
        result.emplace(MSRPreferenceDate{date->secondsSince1970});
    } else if (const Value::List* list = value.list()) {
        MSRPreferenceValue::Array array;
        array.reserve(list->size());
        for (const auto& item : *list) {
            auto converted = fromValue(item);
            // Bytes and dictionaries are nothing the monitor stores.
            if (!converted) return std::nullopt;
            array.push_back(std::move(*converted));
        }
        result.emplace(std::move(array));
    }
    return result;
}

}  // namespace

MSRUserDefaultsPreferenceStore::MSRUserDefaultsPreferenceStore(std::shared_ptr<MSRUserDefaults> defaults)
    : defaults_(std::move(defaults)) {}

std::optional<MSRPreferenceValue> MSRUserDefaultsPreferenceStore::objectForKey(const std::string& key) const {
    return fromValue(defaults_->objectForKey(key));
}

void MSRUserDefaultsPreferenceStore::setObject(const std::optional<MSRPreferenceValue>& value,
                                               const std::string& key) {
    defaults_->setObject(value ? toValue(*value) : Value(), key);
}

void MSRUserDefaultsPreferenceStore::synchronize() {
    defaults_->synchronize();
}
