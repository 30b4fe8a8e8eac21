#include "analytics/model/MSRValue.h"

#include "analytics/support/MSRMonitor.h"

#include <charconv>
#include <functional>

namespace {

void logRefusal(int64_t code, const char* message, std::vector<MSRLogContext> contexts = {}) {
    MSRMonitor::shared()->logWithLevel(0, code, message, contexts);
}

MSRLogContext contextFor(const foundation::Value& object) {
    if (object.isAbsent() || object.isNull()) return MSRLogContext(nullptr);
    return MSRLogContext(object.jsonText());
}

std::string numberText(double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// One item of a plain list: its entries that convert, lists left out.
MSRParameters itemFromPlain(const foundation::Value::Dictionary& dictionary) {
    MSRParameters item;
    for (const auto& [name, entry] : dictionary) {
        if (std::optional<MSRValue> value = MSRValue::valueFromObject(entry, false)) {
            item.emplace(name, std::move(*value));
        }
    }
    return item;
}

std::optional<MSRValue> listFromPlain(const foundation::Value::List& list) {
    MSRValueList items;
    items.reserve(list.size());
    for (const foundation::Value& element : list) {
        if (const auto* dictionary = element.dictionary()) items.push_back(itemFromPlain(*dictionary));
    }
    return MSRValue(std::move(items));
}

}  // namespace

MSRValue::MSRValue(MSRValueList items) : value_(std::make_shared<const MSRValueList>(std::move(items))) {}

std::optional<MSRValue> MSRValue::valueFromObject(const MSRObject& object) {
    return valueFromObject(object, false);
}

std::optional<MSRValue> MSRValue::valueFromObject(const MSRObject& object, bool allowArray) {
    if (const auto* value = std::get_if<MSRValue>(&object)) return *value;
    return valueFromObject(std::get<foundation::Value>(object), allowArray);
}

std::optional<MSRValue> MSRValue::valueFromObject(const foundation::Value& object, bool allowArray) {
    using Type = foundation::Value::Type;
    switch (object.type()) {
        case Type::Absent:
            logRefusal(35000, "Cannot create Value type with nil value");
            return std::nullopt;
        case Type::String:
            return MSRValue(*object.string());
        case Type::Bool:
            return MSRValue(static_cast<int64_t>(*object.boolValue() ? 1 : 0));
        case Type::Integer:
            return MSRValue(*object.integerValue());
        case Type::Double:
            return MSRValue(*object.doubleValue());
        case Type::List:
            if (allowArray) return listFromPlain(*object.list());
            break;
        default:
            break;
    }
    logRefusal(35001,
               "Cannot create Value type with unsupported value. The Value has to be NSNumber, "
               "NSString or NSArray (if supported). Value",
               {contextFor(object)});
    return std::nullopt;
}

namespace {

// A typed constructor's refusals: nothing given, or a value of another kind;
// each has its own code so a log tells them apart.
template <typename Kind, typename Make>
std::optional<MSRValue> fromKind(const foundation::Value& object, const Kind* kind, int64_t absentCode,
                                 const char* absentMessage, int64_t wrongCode, const char* wrongMessage, Make make) {
    if (object.isAbsent()) {
        logRefusal(absentCode, absentMessage);
        return std::nullopt;
    }
    if (!kind) {
        logRefusal(wrongCode, wrongMessage, {contextFor(object)});
        return std::nullopt;
    }
    return make(*kind);
}

}  // namespace

std::optional<MSRValue> MSRValue::initWithString(const foundation::Value& object) {
    return fromKind(object, object.string(), 35002, "Cannot create String value with nil", 35003,
                    "Cannot create String value with non-string value. Value",
                    [](const std::string& text) { return std::optional<MSRValue>(MSRValue(text)); });
}

std::optional<MSRValue> MSRValue::initWithArray(const foundation::Value& object) {
    return fromKind(object, object.list(), 35004, "Cannot create Array value with nil", 35005,
                    "Cannot create Array value with non-array value. Value", listFromPlain);
}

double MSRValue::doubleValue() const {
    const double* value = std::get_if<double>(&value_);
    return value ? *value : 0.0;
}

int64_t MSRValue::int64Value() const {
    const int64_t* value = std::get_if<int64_t>(&value_);
    return value ? *value : 0;
}

const MSRValueList* MSRValue::arrayValue() const {
    const auto* list = std::get_if<std::shared_ptr<const MSRValueList>>(&value_);
    return list ? list->get() : nullptr;
}

foundation::Value MSRValue::plainObject() const {
    switch (valueType()) {
        case kDouble:
            return foundation::Value(doubleValue());
        case kInt64:
            return foundation::Value(static_cast<long long>(int64Value()));
        case kString:
            return foundation::Value(*stringValue());
        case kArray:
            break;
    }
    foundation::Value::List list;
    for (const MSRParameters& item : *arrayValue()) {
        foundation::Value::Dictionary dictionary;
        for (const auto& [name, value] : item) dictionary.emplace(name, value.plainObject());
        list.emplace_back(std::move(dictionary));
    }
    return foundation::Value(std::move(list));
}

std::string MSRValue::description() const {
    switch (valueType()) {
        case kDouble:
            return numberText(doubleValue());
        case kInt64:
            return std::to_string(int64Value());
        case kString:
            return *stringValue();
        case kArray:
            break;
    }
    return plainObject().jsonText();
}

size_t MSRValue::hash() const {
    size_t valueHash = 0;
    switch (valueType()) {
        case kDouble:
            valueHash = std::hash<double>{}(doubleValue());
            break;
        case kInt64:
            valueHash = std::hash<int64_t>{}(int64Value());
            break;
        case kString:
            valueHash = std::hash<std::string>{}(*stringValue());
            break;
        case kArray:
            valueHash = arrayValue()->size();
            break;
    }
    return valueHash ^ (static_cast<size_t>(valueType()) * 31);
}

bool operator==(const MSRValue& a, const MSRValue& b) {
    if (a.valueType() != b.valueType()) return false;
    switch (a.valueType()) {
        case MSRValue::kDouble:
            return a.doubleValue() == b.doubleValue();
        case MSRValue::kInt64:
            return a.int64Value() == b.int64Value();
        case MSRValue::kString:
            return *a.stringValue() == *b.stringValue();
        case MSRValue::kArray:
            break;
    }
    return *a.arrayValue() == *b.arrayValue();
}

MSRObjectDictionary MSRObjectsFromParameters(const MSRParameters& parameters) {
    MSRObjectDictionary objects;
    for (const auto& [name, value] : parameters) objects.emplace(name, value);
    return objects;
}
