#include "Calvaro/services/JsonDecoding.h"

#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace services::json {

void DecodingError::fail(const std::string& path, const std::string& problem) {
    if (description_.empty()) description_ = path.empty() ? problem : path + ": " + problem;
}

void DecodingError::failPastBounds(const std::string& problem) {
    if (description_.empty()) pastBounds_ = true;
    fail("", problem);
}

namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string memberPath(const std::string& path, const char* key) { return path.empty() ? key : path + "." + key; }

// A required member decoded by `decode`; its absence is reported as `missing`.
// The decoders below report a value of another type.
template <typename Decode>
auto requiredMember(const nlohmann::json& object, const char* key, const std::string& path, DecodingError& error,
                    const char* missing, Decode decode) -> decltype(decode(object, path, error)) {
    const nlohmann::json* value = member(object, key);
    if (!value) {
        error.fail(memberPath(path, key), missing);
        return std::nullopt;
    }
    return decode(*value, memberPath(path, key), error);
}

std::optional<std::string> text(const nlohmann::json& value, const std::string& path, DecodingError& error) {
    if (!value.is_string()) {
        error.fail(path, std::string("expected a text but found ") + value.type_name());
        return std::nullopt;
    }
    return value.get<std::string>();
}

std::optional<bool> boolean(const nlohmann::json& value, const std::string& path, DecodingError& error) {
    if (!value.is_boolean()) {
        error.fail(path, "expected a boolean");
        return std::nullopt;
    }
    return value.get<bool>();
}

std::optional<int64_t> integer(const nlohmann::json& value, const std::string& path, DecodingError& error) {
    if (!value.is_number_integer()) {
        error.fail(path, "expected an integer");
        return std::nullopt;
    }
    if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
        error.fail(path, "integer out of range");
        return std::nullopt;
    }
    return value.get<int64_t>();
}

// Counts the values of a JSON text as it is read, building none of them, and
// stops the read at the first bound passed; `refusal` then says where.
class JsonDecodingCount {
public:
    using json = nlohmann::json;

    bool null() { return counted(); }
    bool boolean(bool) { return counted(); }
    bool number_integer(json::number_integer_t) { return counted(); }
    bool number_unsigned(json::number_unsigned_t) { return counted(); }
    bool number_float(json::number_float_t, const json::string_t&) { return counted(); }
    bool string(json::string_t&) { return counted(); }
    bool binary(json::binary_t&) { return counted(); }
    bool start_object(size_t) {
        if (!counted()) return false;
        levels_.push_back({false, 0, {}});
        return true;
    }
    bool key(json::string_t& name) {
        levels_.back().key = name;
        return true;
    }
    bool end_object() {
        levels_.pop_back();
        return true;
    }
    bool start_array(size_t) {
        if (!counted()) return false;
        levels_.push_back({true, 0, {}});
        return true;
    }
    bool end_array() {
        levels_.pop_back();
        return true;
    }
    bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

    const std::string& refusal() const { return refusal_; }

private:
    struct Level {
        bool array;
        size_t elements;
        std::string key;  // the member being read, in an object
    };

    // One more value, at the current level.
    bool counted() {
        if (++values_ > kMaximumValues) {
            refusal_ = where() + "the value holds more than " + std::to_string(kMaximumValues) + " values";
            return false;
        }
        if (!levels_.empty() && levels_.back().array && ++levels_.back().elements > kMaximumArrayElements) {
            refusal_ = where() + "the array holds more than " + std::to_string(kMaximumArrayElements) + " elements";
            return false;
        }
        return true;
    }
    // The path of the array or object being read, as the decoders name it.
    std::string where() const {
        std::string path;
        for (size_t i = 0; i + 1 < levels_.size(); ++i) {
            const Level& level = levels_[i];
            if (level.array)
                path += "[" + std::to_string(level.elements - 1) + "]";
            else
                path += (path.empty() ? "" : ".") + level.key;
        }
        return path.empty() ? path : path + ": ";
    }

    size_t values_ = 0;
    std::vector<Level> levels_;
    std::string refusal_;
};

}  // namespace

bool expectObject(const nlohmann::json& value, const std::string& path, DecodingError& error) {
    if (value.is_object()) return true;
    error.fail(path, std::string("expected an object but found ") + value.type_name());
    return false;
}

std::optional<std::string> requiredString(const nlohmann::json& object, const char* key, const std::string& path,
                                          DecodingError& error) {
    return requiredMember(object, key, path, error, "required text is missing", text);
}

std::optional<bool> requiredBool(const nlohmann::json& object, const char* key, const std::string& path,
                                 DecodingError& error) {
    return requiredMember(object, key, path, error, "required boolean is missing", boolean);
}

std::optional<bool> optionalBool(const nlohmann::json& object, const char* key, const std::string& path,
                                 DecodingError& error) {
    const nlohmann::json* value = member(object, key);
    if (!value) return std::nullopt;
    return boolean(*value, memberPath(path, key), error);
}

std::optional<int64_t> requiredInteger(const nlohmann::json& object, const char* key, const std::string& path,
                                       DecodingError& error) {
    return requiredMember(object, key, path, error, "required integer is missing", integer);
}

std::optional<std::vector<std::string>> stringList(const nlohmann::json& value, const std::string& path,
                                                   DecodingError& error) {
    if (!value.is_array()) {
        error.fail(path, std::string("expected an array but found ") + value.type_name());
        return std::nullopt;
    }
    std::vector<std::string> result;
    for (size_t i = 0; i < value.size(); ++i) {
        if (!value[i].is_string()) {
            error.fail(path + "[" + std::to_string(i) + "]", "expected a text");
            return std::nullopt;
        }
        result.push_back(value[i].get<std::string>());
    }
    return result;
}

std::optional<std::map<std::string, std::string>> stringMap(const nlohmann::json& value, const std::string& path,
                                                            DecodingError& error) {
    if (!expectObject(value, path, error)) return std::nullopt;
    std::map<std::string, std::string> result;
    for (const auto& [key, item] : value.items()) {
        if (!item.is_string()) {
            error.fail(path + "." + key, "expected a text");
            return std::nullopt;
        }
        result[key] = item.get<std::string>();
    }
    return result;
}

std::optional<std::vector<std::string>> requiredStringList(const nlohmann::json& object, const char* key,
                                                           const std::string& path, DecodingError& error) {
    return requiredMember(object, key, path, error, "required array is missing", stringList);
}

std::optional<std::map<std::string, std::string>> requiredStringMap(const nlohmann::json& object, const char* key,
                                                                    const std::string& path, DecodingError& error) {
    return requiredMember(object, key, path, error, "required object is missing", stringMap);
}

std::optional<nlohmann::json> parse(const std::string& text, DecodingError& error) {
    // The decoders and the JSON library's dump recurse by level: deep text is
    // refused before it is built.
    if (!foundation::jsonNestingWithin(text)) {
        error.fail("", "the data nests deeper than " + std::to_string(foundation::kMaximumNestingDepth) + " levels");
        return std::nullopt;
    }
    JsonDecodingCount count;
    if (!nlohmann::json::sax_parse(text, &count) && !count.refusal().empty()) {
        error.failPastBounds(count.refusal());
        return std::nullopt;
    }
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        error.fail("", "the data is not valid JSON");
        return std::nullopt;
    }
    return value;
}

}  // namespace services::json
