#include "analytics/storage/MSRConfigStore.h"

#include <cmath>
#include <limits>

#include "analytics/storage/MSRStorageLog.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Text.h"

using foundation::Value;

bool MSRConfigStore::acceptsKey(const std::string& key, int64_t code, std::string_view message) {
    if (key.empty()) MSRStorageConsoleLog(MSRConsoleSeverity::kWarning, code, message);
    return !key.empty();
}

bool MSRConfigStore::acceptsValue(const Value& value, int64_t code, std::string_view message) {
    if (foundation::propertyListXml(value)) return true;
    // The value is the caller's, not the engine's text.
    MSRStorageConsoleLog(MSRConsoleSeverity::kWarning, code,
                         std::string(message) + foundation::printable(value.jsonText()));
    return false;
}

bool MSRIsNumberValue(const Value& value) {
    auto type = value.type();
    return type == Value::Type::Integer || type == Value::Type::Double || type == Value::Type::Bool;
}

double MSRNumberAsDouble(const Value& value) {
    if (auto b = value.boolValue()) return *b ? 1.0 : 0.0;
    return value.doubleValue().value_or(0.0);
}

int64_t MSRNumberAsInt64(const Value& value) {
    if (auto b = value.boolValue()) return *b ? 1 : 0;
    if (auto i = value.integerValue()) return *i;
    if (auto d = value.doubleValue()) {
        // Out-of-range and NaN conversions are undefined; clamp them instead.
        if (std::isnan(*d)) return 0;
        if (*d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
        if (*d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(*d);
    }
    return 0;
}

int64_t MSRConfigStore::integerForKey(const std::string& key) {
    return MSRNumberAsInt64(objectForKey(key));
}

float MSRConfigStore::floatForKey(const std::string& key) {
    return static_cast<float>(MSRNumberAsDouble(objectForKey(key)));
}

double MSRConfigStore::doubleForKey(const std::string& key) {
    return MSRNumberAsDouble(objectForKey(key));
}

bool MSRConfigStore::boolForKey(const std::string& key) {
    return MSRNumberAsDouble(objectForKey(key)) != 0.0;
}

std::optional<std::string> MSRConfigStore::stringForKey(const std::string& key) {
    Value value = objectForKey(key);
    if (const std::string* text = value.string()) return *text;
    return std::nullopt;
}

Value MSRConfigStore::numberForKey(const std::string& key) {
    Value value = objectForKey(key);
    return MSRIsNumberValue(value) ? value : Value();
}

std::optional<Value::List> MSRConfigStore::arrayForKey(const std::string& key) {
    Value value = objectForKey(key);
    if (const Value::List* list = value.list()) return *list;
    return std::nullopt;
}

std::optional<Value::Dictionary> MSRConfigStore::dictionaryForKey(const std::string& key) {
    Value value = objectForKey(key);
    if (const Value::Dictionary* dictionary = value.dictionary()) return *dictionary;
    return std::nullopt;
}
