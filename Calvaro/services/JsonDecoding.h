#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Strict decoding of remote JSON into the content records: a required member
// must be present, non-null and of its type; an optional member may be missing
// or null. The first problem is kept as a readable description, and the
// caller drops the whole value.
namespace services::json {

class DecodingError {
public:
    bool failed() const { return !description_.empty(); }
    const std::string& description() const { return description_; }
    void fail(const std::string& path, const std::string& problem);

private:
    std::string description_;
};

// Each reader answers nothing and records the problem when `object[key]` does
// not fit. `path` names the member in messages.
std::optional<std::string> requiredString(const nlohmann::json& object, const char* key, const std::string& path,
                                          DecodingError& error);
std::optional<bool> requiredBool(const nlohmann::json& object, const char* key, const std::string& path,
                                 DecodingError& error);
std::optional<bool> optionalBool(const nlohmann::json& object, const char* key, const std::string& path,
                                 DecodingError& error);
std::optional<int64_t> requiredInteger(const nlohmann::json& object, const char* key, const std::string& path,
                                       DecodingError& error);
std::optional<std::vector<std::string>> requiredStringList(const nlohmann::json& object, const char* key,
                                                           const std::string& path, DecodingError& error);
std::optional<std::map<std::string, std::string>> requiredStringMap(const nlohmann::json& object, const char* key,
                                                                    const std::string& path, DecodingError& error);

// `value` itself as a list of texts / a map of texts.
std::optional<std::vector<std::string>> stringList(const nlohmann::json& value, const std::string& path,
                                                   DecodingError& error);
std::optional<std::map<std::string, std::string>> stringMap(const nlohmann::json& value, const std::string& path,
                                                            DecodingError& error);

// Parses JSON text; nothing (with the cause in `error`) on a syntax error.
std::optional<nlohmann::json> parse(const std::string& text, DecodingError& error);

bool expectObject(const nlohmann::json& value, const std::string& path, DecodingError& error);

// An object of named lists, each element read by `decode(element, path, error)`;
// nothing when any list or element does not fit.
template <typename Item, typename Decode>
std::optional<std::map<std::string, std::vector<Item>>> listsByKey(const nlohmann::json& value, DecodingError& error,
                                                                   Decode decode) {
    if (!expectObject(value, "", error)) return std::nullopt;
    std::map<std::string, std::vector<Item>> lists;
    for (const auto& [key, list] : value.items()) {
        if (!list.is_array()) {
            error.fail(key, "expected an array");
            return std::nullopt;
        }
        auto& target = lists[key];
        for (size_t i = 0; i < list.size(); ++i) {
            std::optional<Item> item = decode(list[i], key + "[" + std::to_string(i) + "]", error);
            if (!item) return std::nullopt;
            target.push_back(std::move(*item));
        }
    }
    return lists;
}

}  // namespace services::json
