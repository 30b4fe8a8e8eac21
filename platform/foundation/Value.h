#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace foundation {

// How deep lists and dictionaries may nest in anything decoded from outside
// (JSON, property lists). Every walk of a value recurses, destruction
// included, so deeper input is refused at the door instead of overflowing
// the stack later.
constexpr int kMaximumNestingDepth = 512;

// True when the JSON text nests its arrays and objects no deeper than
// `limit`. A linear scan that skips strings; it does not check the syntax.
bool jsonNestingWithin(std::string_view text, int limit = kMaximumNestingDepth);

// A point in time as seconds since 1970-01-01 00:00 UTC.
struct Date {
    double secondsSince1970 = 0;
    bool operator==(const Date&) const = default;
};

// A dynamically typed value: what preferences, property lists, JSON resources
// and notification user-info dictionaries hold.
//
// "Absent" (nothing there: a missing key, a failed typed read) and "null" (an
// explicit JSON null) are different. A bool is never an integer and an integer
// is never a double, so a preference written as `true` does not read back as 1.
class Value {
public:
    enum class Type { Absent, Null, Bool, Integer, Double, String, Bytes, Date, List, Dictionary };

    using Bytes = std::vector<uint8_t>;
    using List = std::vector<Value>;
    using Dictionary = std::map<std::string, Value>;

    Value() = default;  // absent
    static Value null();

    Value(bool b) : data_(b) {}
    Value(int i) : data_(static_cast<int64_t>(i)) {}
    Value(long i) : data_(static_cast<int64_t>(i)) {}
    Value(long long i) : data_(static_cast<int64_t>(i)) {}
    Value(double d) : data_(d) {}
    Value(const char* s) : data_(std::string(s)) {}
    Value(const void*) = delete;  // a pointer would otherwise quietly become a bool
    Value(std::string s) : data_(std::move(s)) {}
    Value(std::string_view s) : data_(std::string(s)) {}
    Value(Bytes b) : data_(std::move(b)) {}
    Value(Date d) : data_(d) {}
    Value(List l) : data_(std::move(l)) {}
    Value(Dictionary d) : data_(std::move(d)) {}

    // An integer a file of another program may hold past int64's range
    // (2^63 .. 2^64 - 1) stays unsigned, so that it is written back as it
    // was read; within the range it is an ordinary integer.
    static Value unsignedInteger(uint64_t value);

    Type type() const {
        return data_.index() == kUnsignedIndex ? Type::Integer : static_cast<Type>(data_.index());
    }
    bool isAbsent() const { return type() == Type::Absent; }
    bool isNull() const { return type() == Type::Null; }

    // Typed reads: the value when it is of exactly that kind, else nothing.
    // `doubleValue` also answers for integers (numbers are numbers), never for bools.
    std::optional<bool> boolValue() const;
    // An unsigned integer past int64's range reads as its 64 bits here, and
    // as itself through unsignedPastInt64().
    std::optional<int64_t> integerValue() const;
    std::optional<uint64_t> unsignedPastInt64() const;
    std::optional<double> doubleValue() const;
    const std::string* string() const { return std::get_if<std::string>(&data_); }
    const Bytes* bytes() const { return std::get_if<Bytes>(&data_); }
    std::optional<Date> date() const;
    const List* list() const { return std::get_if<List>(&data_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&data_); }
    List* list() { return std::get_if<List>(&data_); }
    Dictionary* dictionary() { return std::get_if<Dictionary>(&data_); }

    // The member `key` of a dictionary; absent for a missing key or a non-dictionary.
    const Value& operator[](const std::string& key) const;

    // Deep equality. Integers and doubles compare by numeric value (1 == 1.0);
    // bools compare only with bools.
    friend bool operator==(const Value& a, const Value& b);

    // JSON: null <-> null, numbers keep integer vs floating point, bytes are
    // written as base64 text and dates as seconds since 1970 (JSON has neither,
    // so they read back as text and number). Absent members are left out.
    nlohmann::json toJson() const;
    // Absent, with a log line, when `json` nests deeper than kMaximumNestingDepth.
    static Value fromJson(const nlohmann::json& json);
    std::string jsonText(int indent = -1) const;
    // Parses JSON text; nothing on a syntax error or on nesting deeper than
    // kMaximumNestingDepth (which is logged).
    static std::optional<Value> parseJson(std::string_view text);

private:
    static std::optional<Value> fromJson(const nlohmann::json& json, int depth);

    struct Null {
        bool operator==(const Null&) const = default;
    };
    std::variant<std::monostate, Null, bool, int64_t, double, std::string, Bytes, Date, List, Dictionary, uint64_t>
        data_;
    static constexpr size_t kUnsignedIndex = 10;
};

// Base64 of RFC 4648 with padding; used for bytes in JSON.
std::string base64Encode(const Value::Bytes& bytes);
std::optional<Value::Bytes> base64Decode(std::string_view text);

}  // namespace foundation
