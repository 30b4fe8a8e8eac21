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
    // Whether the value was refused for what it holds past the bounds below,
    // rather than for its form.
    bool pastBounds() const { return pastBounds_; }
    void failPastBounds(const std::string& problem);

private:
    std::string description_;
    bool pastBounds_ = false;
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

// What a remote value may hold, counted before any of it is built. Within
// its bytes a value of empty arrays or objects would build a million values
// of tens of bytes each (a 2 MiB answer: some 70 MB at every start), while
// the screens use a few dozen records: the drawer lists the family's
// applications (one per calculation type, 34 in all), each with a few
// identifiers and a title per supported language (11), and a tutorial list
// holds a few videos per language and application. So an array of more
// than 1,000 elements, or a value of more than 50,000 JSON values in all
// (every object, array, member and element, the value itself included), is
// refused whole, as any value that does not decode is.
inline constexpr size_t kMaximumArrayElements = 1000;
inline constexpr size_t kMaximumValues = 50000;

// Parses JSON text; nothing (with the cause in `error`) on a syntax error or
// on a value past the bounds above.
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
