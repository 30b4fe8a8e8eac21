#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

// JSON records whose members are named after their fields. A record lists its
// fields once, in a generic lambda over the record and a visitor; the Reader
// decodes through that list and the Writer encodes through it:
//
//   constexpr auto pointFields = [](auto& p, auto& f) { return f.number("x", p.x) && f.number("y", p.y); };
//   jsonfields::decode<Point>(text, "point", &error, pointFields);
//   jsonfields::encode(point, pointFields);
//
// Reading is strict: a required member must be present and of its type, an
// optional one may be missing or null. The first problem is kept as a
// readable error.
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

// Writes the members in the order they are visited; an absent optional member
// is left out. Every call succeeds.
class Writer {
public:
    Writer();
    ~Writer();

    bool text(const char* key, const std::string& value);
    bool number(const char* key, double value);
    bool textList(const char* key, const std::vector<std::string>& value);
    bool optionalTextList(const char* key, const std::optional<std::vector<std::string>>& value);
    bool optionalNumberMap(const char* key, const std::optional<std::map<std::string, double>>& value);

    // The object as compact JSON text.
    std::string dump() const;

private:
    std::unique_ptr<nlohmann::ordered_json> out_;
};

// Parses `json` and reads one object through `fields`; false with the first
// problem in `error` when the text is not JSON or a member is missing or bad.
bool readObject(std::string_view json, const std::string& context, std::string* error,
                const std::function<bool(Reader&)>& fields);

template <class Record, class FieldList>
std::optional<Record> decode(std::string_view json, const std::string& context, std::string* error,
                             const FieldList& fields) {
    Record record;
    if (!readObject(json, context, error, [&](Reader& reader) { return fields(record, reader); }))
        return std::nullopt;
    return record;
}

template <class Record, class FieldList>
std::string encode(const Record& record, const FieldList& fields) {
    Writer writer;
    fields(record, writer);
    return writer.dump();
}

}  // namespace jsonfields
