#include "analytics/core/MSRPackedEvent.h"

#include <cstring>
#include <optional>

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

namespace {

size_t varintSize(uint64_t number) {
    size_t size = 1;
    for (; number >= 0x80; number >>= 7) ++size;
    return size;
}

size_t textSize(const std::string& text) { return varintSize(text.size()) + text.size(); }

size_t integerSize(int64_t number) {
    return varintSize((static_cast<uint64_t>(number) << 1) ^ static_cast<uint64_t>(number >> 63));
}

// The bytes a parameter takes packed, or nothing when it cannot be packed.
std::optional<size_t> packedSize(const std::string& name, const foundation::Value& value) {
    const size_t head = 1 + textSize(name);
    switch (value.type()) {
        case foundation::Value::Type::Integer:
            return head + integerSize(*value.integerValue());
        case foundation::Value::Type::Double:
            return head + sizeof(double);
        case foundation::Value::Type::String:
            return head + textSize(*value.string());
        case foundation::Value::Type::Bool:
            return head;
        default:
            return std::nullopt;
    }
}

std::optional<size_t> packedSize(const std::string& name, const MSRObject& object) {
    const auto* value = std::get_if<MSRValue>(&object);
    if (!value) return packedSize(name, std::get<foundation::Value>(object));
    const size_t head = 1 + textSize(name);
    if (value->isInt64()) return head + integerSize(value->int64Value());
    if (value->isDouble()) return head + sizeof(double);
    if (const std::string* string = value->stringValue()) return head + textSize(*string);
    return std::nullopt;
}

MSRObjectDictionary wholeDictionary(const MSRObjectDictionary& parameters) { return parameters; }

MSRObjectDictionary wholeDictionary(const foundation::Value::Dictionary& parameters) {
    MSRObjectDictionary objects;
    for (const auto& [name, value] : parameters) objects.emplace_hint(objects.end(), name, value);
    return objects;
}

}  // namespace

template <typename Dictionary>
void MSRPackedEvent::packAll(const std::string& origin, const std::string& name, double timestamp,
                             const Dictionary& parameters) {
    // Sized first, so the bytes are allocated once and never moved.
    size_t size = textSize(origin) + textSize(name) + sizeof(double);
    bool packable = true;
    for (const auto& [parameterName, object] : parameters) {
        const std::optional<size_t> parameterSize = packedSize(parameterName, object);
        if (!parameterSize) {
            packable = false;
            break;
        }
        size += *parameterSize;
    }
    if (!packable) whole_ = std::make_shared<const MSRObjectDictionary>(wholeDictionary(parameters));
    bytes_.reserve(packable ? size : textSize(origin) + textSize(name) + sizeof(double));
    putText(origin);
    putText(name);
    putDouble(timestamp);
    if (whole_) return;
    for (const auto& [parameterName, object] : parameters) pack(parameterName, object);
}

MSRPackedEvent::MSRPackedEvent(const std::string& origin, const std::string& name, double timestamp,
                               const MSRObjectDictionary& parameters) {
    packAll(origin, name, timestamp, parameters);
}

MSRPackedEvent::MSRPackedEvent(const std::string& origin, const std::string& name, double timestamp,
                               const foundation::Value::Dictionary& parameters) {
    packAll(origin, name, timestamp, parameters);
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

// Only what packedSize took: the sizes and the bytes agree.
void MSRPackedEvent::pack(const std::string& name, const MSRObject& object) {
    const auto* value = std::get_if<MSRValue>(&object);
    if (!value) return pack(name, std::get<foundation::Value>(object));
    if (value->isInt64()) {
        put(Kind::kValueInteger, name);
        putInteger(value->int64Value());
    } else if (value->isDouble()) {
        put(Kind::kValueDouble, name);
        putDouble(value->doubleValue());
    } else if (const std::string* string = value->stringValue()) {
        put(Kind::kValueString, name);
        putText(*string);
    }
}

void MSRPackedEvent::pack(const std::string& name, const foundation::Value& value) {
    switch (value.type()) {
        case foundation::Value::Type::Integer:
            put(Kind::kInteger, name);
            putInteger(*value.integerValue());
            break;
        case foundation::Value::Type::Double:
            put(Kind::kDouble, name);
            putDouble(*value.doubleValue());
            break;
        case foundation::Value::Type::String:
            put(Kind::kString, name);
            putText(*value.string());
            break;
        case foundation::Value::Type::Bool:
            put(*value.boolValue() ? Kind::kTrue : Kind::kFalse, name);
            break;
        default:
            break;
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
