#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// A date in a preference value: seconds since 1970.
struct MSRPreferenceDate {
    double secondsSince1970 = 0;
    bool operator==(const MSRPreferenceDate&) const = default;
};

// A property-list value as the engine stores it in preferences: a boolean, an
// integer, a real, a text, a date or an array of such values.
class MSRPreferenceValue {
public:
    using Array = std::vector<MSRPreferenceValue>;
    using Storage = std::variant<bool, int64_t, double, std::string, MSRPreferenceDate, Array>;

    MSRPreferenceValue(bool value) : value_(value) {}
    MSRPreferenceValue(int64_t value) : value_(value) {}
    MSRPreferenceValue(int value) : value_(static_cast<int64_t>(value)) {}
    MSRPreferenceValue(double value) : value_(value) {}
    MSRPreferenceValue(std::string value) : value_(std::move(value)) {}
    MSRPreferenceValue(const char* value) : value_(std::string(value)) {}
    MSRPreferenceValue(MSRPreferenceDate value) : value_(value) {}
    MSRPreferenceValue(Array value) : value_(std::move(value)) {}

    const Storage& storage() const { return value_; }
    template <typename T>
    const T* get() const { return std::get_if<T>(&value_); }

    bool operator==(const MSRPreferenceValue&) const = default;

private:
    Storage value_;
};

// The preference store the engine writes its small switches and the health
// monitor's data to. The analytics storage's `MSRUserDefaults` (a suite over
// the platform's user defaults) answers this interface in the application; an
// in-memory store answers it in tests.
class MSRPreferenceStore {
public:
    virtual ~MSRPreferenceStore() = default;

    virtual std::optional<MSRPreferenceValue> objectForKey(const std::string& key) const = 0;
    // Stores `value` under `key`; no value removes the key.
    virtual void setObject(const std::optional<MSRPreferenceValue>& value,
                           const std::string& key) = 0;
    // Writes the store to its file. Failures are the store's own business.
    virtual void synchronize() = 0;

    void removeObjectForKey(const std::string& key) { setObject(std::nullopt, key); }
    // The value when it is an array, else nothing.
    std::optional<MSRPreferenceValue::Array> arrayForKey(const std::string& key) const;
    // The value when it is a boolean true (or a non-zero integer).
    bool boolForKey(const std::string& key) const;
    // The value's integer when it is a number, else 0.
    int64_t integerForKey(const std::string& key) const;
    void setInteger(int64_t value, const std::string& key) { setObject(value, key); }
};
