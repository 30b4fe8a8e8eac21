#pragma once

// The key-value interface shared by the preference suites and the persistent
// dictionary: typed reads and writes by non-empty text key, removal, clearing
// and a flush.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

class MSRConfigStore {
  public:
    virtual ~MSRConfigStore() = default;

    // The stored value, absent when there is none or the key is empty.
    virtual foundation::Value objectForKey(const std::string& key) = 0;
    // Stores a property-list value (text, number, boolean, list, dictionary,
    // date or bytes, with no null inside); an absent value removes the key.
    virtual void setObject(const foundation::Value& value, const std::string& key) = 0;
    virtual void clearAllData() = 0;
    virtual void synchronize() = 0;

    void removeObjectForKey(const std::string& key) { setObject(foundation::Value(), key); }

    // Typed reads: the number's value when a number (or boolean) is stored,
    // else 0; the value itself when it is of that kind, else nothing.
    int64_t integerForKey(const std::string& key);
    float floatForKey(const std::string& key);
    double doubleForKey(const std::string& key);
    bool boolForKey(const std::string& key);
    std::optional<std::string> stringForKey(const std::string& key);
    // A number or boolean as stored; absent for anything else.
    foundation::Value numberForKey(const std::string& key);
    std::optional<foundation::Value::List> arrayForKey(const std::string& key);
    std::optional<foundation::Value::Dictionary> dictionaryForKey(const std::string& key);

    void setInteger(int64_t value, const std::string& key) {
        setObject(foundation::Value(static_cast<long long>(value)), key);
    }
    void setFloat(float value, const std::string& key) {
        setObject(foundation::Value(static_cast<double>(value)), key);
    }
    void setDouble(double value, const std::string& key) { setObject(foundation::Value(value), key); }
    void setBool(bool value, const std::string& key) { setObject(foundation::Value(value), key); }

  protected:
    // The stores' common refusals, each with the store's own console warning:
    // an empty key, and a value without a property-list form at some depth
    // (its text is appended to `message`).
    static bool acceptsKey(const std::string& key, int64_t code, std::string_view message);
    static bool acceptsValue(const foundation::Value& value, int64_t code, std::string_view message);
};

// True for numbers and booleans.
bool MSRIsNumberValue(const foundation::Value& value);
// The number as a double (booleans as 0 or 1); 0 for anything else.
double MSRNumberAsDouble(const foundation::Value& value);
// The number as a 64-bit integer (doubles truncated, booleans as 0 or 1).
int64_t MSRNumberAsInt64(const foundation::Value& value);
