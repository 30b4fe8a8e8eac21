#include "platform/foundation/Value.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

namespace foundation {

Value Value::null() {
    Value v;
    v.data_ = Null{};
    return v;
}

std::optional<bool> Value::boolValue() const {
    if (auto b = std::get_if<bool>(&data_)) return *b;
    return std::nullopt;
}

Value Value::unsignedInteger(uint64_t value) {
    if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return Value(static_cast<int64_t>(value));
    Value v;
    v.data_ = value;
    return v;
}

std::optional<int64_t> Value::integerValue() const {
    if (auto i = std::get_if<int64_t>(&data_)) return *i;
    if (auto u = std::get_if<uint64_t>(&data_)) return static_cast<int64_t>(*u);
    return std::nullopt;
}

std::optional<uint64_t> Value::unsignedPastInt64() const {
    if (auto u = std::get_if<uint64_t>(&data_)) return *u;
    return std::nullopt;
}

std::optional<double> Value::doubleValue() const {
    if (auto d = std::get_if<double>(&data_)) return *d;
    if (auto i = std::get_if<int64_t>(&data_)) return static_cast<double>(*i);
    if (auto u = std::get_if<uint64_t>(&data_)) return static_cast<double>(*u);
    return std::nullopt;
}

std::optional<Date> Value::date() const {
    if (auto d = std::get_if<Date>(&data_)) return *d;
    return std::nullopt;
}

const Value& Value::operator[](const std::string& key) const {
    static const Value absent;
    if (auto d = dictionary()) {
        if (auto it = d->find(key); it != d->end()) return it->second;
    }
    return absent;
}

namespace {

// Exact comparison of an integer with a double: converting the integer to
// double could round (2^53 + 1 == 2^53 + 0.0), so go the other way when the
// double is integral and in range.
bool integerEqualsDouble(int64_t i, double d) {
    if (!std::isfinite(d) || d != std::trunc(d)) return false;
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
    return static_cast<int64_t>(d) == i;
}

bool unsignedEqualsDouble(uint64_t u, double d) {
    if (!std::isfinite(d) || d != std::trunc(d)) return false;
    if (d < 0 || d >= 18446744073709551616.0) return false;
    return static_cast<uint64_t>(d) == u;
}

}  // namespace

bool operator==(const Value& a, const Value& b) {
    if (auto ai = std::get_if<int64_t>(&a.data_)) {
        if (auto bd = std::get_if<double>(&b.data_)) return integerEqualsDouble(*ai, *bd);
    }
    if (auto ad = std::get_if<double>(&a.data_)) {
        if (auto bi = std::get_if<int64_t>(&b.data_)) return integerEqualsDouble(*bi, *ad);
        if (auto bu = std::get_if<uint64_t>(&b.data_)) return unsignedEqualsDouble(*bu, *ad);
    }
    if (auto au = std::get_if<uint64_t>(&a.data_)) {
        if (auto bd = std::get_if<double>(&b.data_)) return unsignedEqualsDouble(*au, *bd);
    }
    return a.data_ == b.data_;
}

nlohmann::json Value::toJson() const {
    switch (type()) {
        case Type::Absent:
        case Type::Null:
            return nullptr;
        case Type::Bool:
            return std::get<bool>(data_);
        case Type::Integer:
            if (auto u = unsignedPastInt64()) return *u;
            return std::get<int64_t>(data_);
        case Type::Double:
            return std::get<double>(data_);
        case Type::String:
            return std::get<std::string>(data_);
        case Type::Bytes:
            return base64Encode(std::get<Bytes>(data_));
        case Type::Date:
            return std::get<Date>(data_).secondsSince1970;
        case Type::List: {
            auto out = nlohmann::json::array();
            for (const Value& v : std::get<List>(data_)) out.push_back(v.toJson());
            return out;
        }
        case Type::Dictionary: {
            auto out = nlohmann::json::object();
            for (const auto& [k, v] : std::get<Dictionary>(data_)) {
                if (!v.isAbsent()) out[k] = v.toJson();
            }
            return out;
        }
    }
    return nullptr;
}

Value Value::fromJson(const nlohmann::json& json) {
    if (auto value = fromJson(json, 0)) return std::move(*value);
    std::fprintf(stderr, "json: nested deeper than %d levels; refused\n", kMaximumNestingDepth);
    return Value();
}

std::optional<Value> Value::fromJson(const nlohmann::json& json, int depth) {
    switch (json.type()) {
        case nlohmann::json::value_t::null:
            return null();
        case nlohmann::json::value_t::boolean:
            return Value(json.get<bool>());
        case nlohmann::json::value_t::number_integer:
            return Value(json.get<int64_t>());
        case nlohmann::json::value_t::number_unsigned: {
            auto u = json.get<uint64_t>();
            if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                return Value(static_cast<int64_t>(u));
            return Value(static_cast<double>(u));
        }
        case nlohmann::json::value_t::number_float:
            return Value(json.get<double>());
        case nlohmann::json::value_t::string:
            return Value(json.get<std::string>());
        case nlohmann::json::value_t::array: {
            if (depth >= kMaximumNestingDepth) return std::nullopt;
            List out;
            out.reserve(json.size());
            for (const auto& item : json) {
                auto converted = fromJson(item, depth + 1);
                if (!converted) return std::nullopt;
                out.push_back(std::move(*converted));
            }
            return Value(std::move(out));
        }
        case nlohmann::json::value_t::object: {
            if (depth >= kMaximumNestingDepth) return std::nullopt;
            Dictionary out;
            for (const auto& [k, v] : json.items()) {
                auto converted = fromJson(v, depth + 1);
                if (!converted) return std::nullopt;
                out.emplace(k, std::move(*converted));
            }
            return Value(std::move(out));
        }
        case nlohmann::json::value_t::binary: {
            const auto& bin = json.get_binary();
            return Value(Bytes(bin.begin(), bin.end()));
        }
        case nlohmann::json::value_t::discarded:
            break;
    }
    return Value();
}

std::string Value::jsonText(int indent) const {
    // Replace invalid UTF-8 rather than throw: texts come from files and users.
    return toJson().dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<Value> Value::parseJson(std::string_view text) {
    // nlohmann's parser keeps its own stack, but everything after it (the
    // conversion, dumping, destroying a Value) recurses: refuse deep text
    // before any of it is built.
    if (!jsonNestingWithin(text)) {
        std::fprintf(stderr, "json: nested deeper than %d levels; refused\n", kMaximumNestingDepth);
        return std::nullopt;
    }
    auto json = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (json.is_discarded()) return std::nullopt;
    return fromJson(json, 0);
}

bool jsonNestingWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

namespace {
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64Encode(const Value::Bytes& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t chunk = uint32_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) chunk |= uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) chunk |= bytes[i + 2];
        out += kBase64Alphabet[(chunk >> 18) & 63];
        out += kBase64Alphabet[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64Alphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kBase64Alphabet[chunk & 63] : '=';
    }
    return out;
}

std::optional<Value::Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Value::Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t chunk = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            uint32_t sextet;
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                ++padding;
                sextet = 0;
            } else if (padding > 0) {
                return std::nullopt;  // data after padding
            } else if (const char* p = std::char_traits<char>::find(kBase64Alphabet, 64, c)) {
                sextet = static_cast<uint32_t>(p - kBase64Alphabet);
            } else {
                return std::nullopt;
            }
            chunk = (chunk << 6) | sextet;
        }
        out.push_back(static_cast<uint8_t>(chunk >> 16));
        if (padding < 2) out.push_back(static_cast<uint8_t>(chunk >> 8));
        if (padding < 1) out.push_back(static_cast<uint8_t>(chunk));
    }
    return out;
}

}  // namespace foundation
