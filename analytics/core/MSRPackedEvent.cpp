#include "analytics/core/MSRPackedEvent.h"

#include <cstring>

#include "analytics/messages/NANOVarint.h"

enum class MSRPackedEvent::Kind : char {
    kInteger,
    kDouble,
    kString,
    kTrue,
    kFalse,
    kValueInteger,
    kValueDouble,
    kValueString
};

MSRPackedEvent::MSRPackedEvent(const std::string& origin, const std::string& name, double timestamp,
                               const MSRObjectDictionary& parameters) {
    putText(origin);
    putText(name);
    putDouble(timestamp);
    const size_t end = bytes_.size();
    for (const auto& [parameterName, object] : parameters) {
        if (!pack(parameterName, object)) {
            bytes_.resize(end);
            whole_ = std::make_shared<const MSRObjectDictionary>(parameters);
            break;
        }
    }
    bytes_.shrink_to_fit();
}

std::string MSRPackedEvent::origin() const {
    size_t at = 0;
    return text(at);
}

std::string MSRPackedEvent::name() const {
    size_t at = 0;
    skipText(at);
    return text(at);
}

double MSRPackedEvent::timestamp() const {
    size_t at = 0;
    skipText(at);
    skipText(at);
    return readDouble(at);
}

size_t MSRPackedEvent::parametersAt() const {
    size_t at = 0;
    skipText(at);
    skipText(at);
    return at + sizeof(double);
}

MSRObjectDictionary MSRPackedEvent::parameters() const {
    if (whole_) return *whole_;
    MSRObjectDictionary parameters;
    size_t at = parametersAt();
    // Packed in the dictionary's order, so each goes in at the end.
    while (at < bytes_.size()) {
        const Kind kind = static_cast<Kind>(bytes_[at++]);
        std::string name = text(at);
        auto end = parameters.end();
        switch (kind) {
            case Kind::kInteger:
                parameters.emplace_hint(end, std::move(name), foundation::Value(integer(at)));
                break;
            case Kind::kDouble:
                parameters.emplace_hint(end, std::move(name), foundation::Value(readDouble(at)));
                break;
            case Kind::kString:
                parameters.emplace_hint(end, std::move(name), foundation::Value(text(at)));
                break;
            case Kind::kTrue:
            case Kind::kFalse:
                parameters.emplace_hint(end, std::move(name), foundation::Value(kind == Kind::kTrue));
                break;
            case Kind::kValueInteger:
                parameters.emplace_hint(end, std::move(name), MSRValue(integer(at)));
                break;
            case Kind::kValueDouble:
                parameters.emplace_hint(end, std::move(name), MSRValue(readDouble(at)));
                break;
            case Kind::kValueString:
                parameters.emplace_hint(end, std::move(name), MSRValue(text(at)));
                break;
        }
    }
    return parameters;
}

bool MSRPackedEvent::pack(const std::string& name, const MSRObject& object) {
    if (const auto* value = std::get_if<MSRValue>(&object)) {
        if (value->isInt64()) {
            put(Kind::kValueInteger, name);
            putInteger(value->int64Value());
        } else if (value->isDouble()) {
            put(Kind::kValueDouble, name);
            putDouble(value->doubleValue());
        } else if (const std::string* string = value->stringValue()) {
            put(Kind::kValueString, name);
            putText(*string);
        } else {
            return false;
        }
        return true;
    }
    const foundation::Value& value = std::get<foundation::Value>(object);
    switch (value.type()) {
        case foundation::Value::Type::Integer:
            put(Kind::kInteger, name);
            putInteger(*value.integerValue());
            return true;
        case foundation::Value::Type::Double:
            put(Kind::kDouble, name);
            putDouble(*value.doubleValue());
            return true;
        case foundation::Value::Type::String:
            put(Kind::kString, name);
            putText(*value.string());
            return true;
        case foundation::Value::Type::Bool:
            put(*value.boolValue() ? Kind::kTrue : Kind::kFalse, name);
            return true;
        default:
            return false;
    }
}

void MSRPackedEvent::put(Kind kind, const std::string& name) {
    bytes_.push_back(static_cast<char>(kind));
    putText(name);
}

// Seven bits a byte: one byte for every usual length and small number.
void MSRPackedEvent::putVarint(uint64_t number) {
    uint8_t encoded[10];
    bytes_.append(reinterpret_cast<const char*>(encoded), NANOPutVarint(encoded, number) - encoded);
}

uint64_t MSRPackedEvent::varint(size_t& at) const {
    uint64_t number = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(bytes_[at++]);
        number |= static_cast<uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return number;
    }
}

// Zigzag, so that small negative numbers stay short too.
void MSRPackedEvent::putInteger(int64_t number) {
    putVarint((static_cast<uint64_t>(number) << 1) ^ static_cast<uint64_t>(number >> 63));
}

int64_t MSRPackedEvent::integer(size_t& at) const {
    const uint64_t zigzag = varint(at);
    return static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1);
}

void MSRPackedEvent::putText(const std::string& value) {
    putVarint(value.size());
    bytes_.append(value);
}

std::string MSRPackedEvent::text(size_t& at) const {
    const size_t length = varint(at);
    std::string value = bytes_.substr(at, length);
    at += length;
    return value;
}

void MSRPackedEvent::skipText(size_t& at) const {
    at += varint(at);
}

void MSRPackedEvent::putDouble(double number) {
    bytes_.append(reinterpret_cast<const char*>(&number), sizeof number);
}

double MSRPackedEvent::readDouble(size_t& at) const {
    double number;
    std::memcpy(&number, bytes_.data() + at, sizeof number);
    at += sizeof number;
    return number;
}
