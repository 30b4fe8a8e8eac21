#include "Calvaro/services/JsonDecoding.h"

#include <string>
#include <vector>

#include "platform/foundation/JsonValueCount.h"
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

// Why a JSON text passes the decoders' bounds, named by the path of the array
// or object where the count stopped as the decoders name it; empty within them.
std::string pastDecodingBounds(const std::string& text) {
    foundation::JsonValueCount count(kMaximumValues, kMaximumArrayElements);
    const foundation::JsonValueCount::Passed passed = count.count(text);
    if (passed == foundation::JsonValueCount::Passed::kNothing) return "";
    const std::vector<foundation::JsonValueCount::Level>& levels = count.levels();
    std::string path;
    for (size_t i = 0; i + 1 < levels.size(); ++i) {
        if (levels[i].array)
            path += "[" + std::to_string(levels[i].elements - 1) + "]";
        else
            path += (path.empty() ? "" : ".") + levels[i].key;
    }
    if (!path.empty()) path += ": ";
    if (passed == foundation::JsonValueCount::Passed::kValues)
        return path + "the value holds more than " + std::to_string(kMaximumValues) + " values";
    return path + "the array holds more than " + std::to_string(kMaximumArrayElements) + " elements";
}

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
    if (const std::string refusal = pastDecodingBounds(text); !refusal.empty()) {
        error.failPastBounds(refusal);
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
