#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

// Strict reading of JSON records whose members are named after their fields:
// a required member must be present and of its type, an optional one may be
// missing or null. The first problem is kept as a readable error.
namespace jsonfields {

inline std::nullopt_t fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return std::nullopt;
}

class Reader {
public:
    Reader(const nlohmann::json& object, std::string context);

    bool text(const char* key, std::string& out);
    bool number(const char* key, double& out);
    bool textList(const char* key, std::vector<std::string>& out);
    bool optionalTextList(const char* key, std::optional<std::vector<std::string>>& out);
    bool optionalNumberMap(const char* key, std::optional<std::map<std::string, double>>& out);

    const std::string& error() const { return error_; }

private:
    const nlohmann::json* member(const char* key, bool required);
    bool wrongType(const char* key, const char* expected);

    const nlohmann::json& object_;
    std::string context_;
    std::string error_;
};

}  // namespace jsonfields
