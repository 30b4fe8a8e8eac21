#pragma once

#include "platform/foundation/Value.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

class MSRValue;

// Parameters of an event or of one ecommerce item, by name.
using MSRParameters = std::map<std::string, MSRValue>;
// The items of an ecommerce list parameter.
using MSRValueList = std::vector<MSRParameters>;
// What callers hand the engine as a parameter: a plain value (text, number,
// list of dictionaries) or an already typed value.
using MSRObject = std::variant<foundation::Value, MSRValue>;
using MSRObjectDictionary = std::map<std::string, MSRObject>;

// An immutable typed value of an event parameter or user property: a double,
// a 64-bit integer, a text or a list of item dictionaries. There is no
// conversion between the kinds: asking a text for its integer answers 0.
class MSRValue {
  public:
    enum Type : int { kDouble = 0, kInt64 = 1, kString = 2, kArray = 3 };

    explicit MSRValue(double value) : value_(value) {}
    explicit MSRValue(int64_t value) : value_(value) {}
    explicit MSRValue(std::string value) : value_(std::move(value)) {}
    explicit MSRValue(const char* value) : value_(std::string(value)) {}
    explicit MSRValue(MSRValueList items);

    // = valueFromObject(object, false).
    static std::optional<MSRValue> valueFromObject(const MSRObject& object);
    // A typed value is returned unchanged; text gives a text value; a bool or
    // integer an integer value; a double a double value; a list of
    // dictionaries a list value only when `allowArray` (each item's entries
    // converted without lists, entries that do not convert left out). Anything
    // else is refused with a log line.
    static std::optional<MSRValue> valueFromObject(const MSRObject& object, bool allowArray);
    static std::optional<MSRValue> valueFromObject(const foundation::Value& object, bool allowArray);
    // Builders from plain objects that refuse with a log line what is absent
    // or of the wrong kind.
    static std::optional<MSRValue> initWithString(const foundation::Value& object);
    static std::optional<MSRValue> initWithArray(const foundation::Value& object);

    Type valueType() const { return static_cast<Type>(value_.index()); }
    bool isDouble() const { return valueType() == kDouble; }
    bool isInt64() const { return valueType() == kInt64; }
    bool isString() const { return valueType() == kString; }
    bool isArray() const { return valueType() == kArray; }

    double doubleValue() const;
    int64_t int64Value() const;
    // Null unless the value is of that kind.
    const std::string* stringValue() const { return std::get_if<std::string>(&value_); }
    const MSRValueList* arrayValue() const;

    // The value as a plain object (lists as lists of dictionaries).
    foundation::Value plainObject() const;
    std::string description() const;
    size_t hash() const;

    friend bool operator==(const MSRValue& a, const MSRValue& b);

  private:
    // Lists are shared: the value is immutable and copies stay cheap.
    std::variant<double, int64_t, std::string, std::shared_ptr<const MSRValueList>> value_;
};

// Typed parameters as the objects the cleaning takes.
MSRObjectDictionary MSRObjectsFromParameters(const MSRParameters& parameters);
