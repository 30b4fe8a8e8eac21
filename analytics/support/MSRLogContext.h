#pragma once

#include "analytics/support/MSRError.h"
#include "analytics/support/MSRException.h"

#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

// Text the engine lays out itself for a console line, over several lines if
// it likes (the debug form of event parameters), in which every value from
// outside has been escaped already (foundation::printable).
struct MSRFormattedText {
    std::string text;
};

// One context object of a monitor report: nothing (a nil argument), a text, a
// number, an exception, an engine error, or any other object known only by its
// class name and description. Reports never carry the object itself, so a
// context is a plain value that can travel to the monitor queue.
//
// The message of a report is the engine's own text; its contexts are the
// values it reports (names and values the application logged, program text,
// links, what a server answered), so a console line shows a context's
// control characters as escapes. Formatted text is shown as it stands.
class MSRLogContext {
public:
    struct Object {
        std::string className;
        std::string description;
        bool operator==(const Object&) const = default;
    };

    // A text context is cut to this many bytes (at a character boundary,
    // "..." after it), as a program's own log lines are: a value from
    // outside never makes a line of megabytes.
    static constexpr size_t kMaxTextBytes = 1'024;
    // `text` cut to kMaxTextBytes.
    static std::string cut(std::string_view text);

    MSRLogContext() = default;
    MSRLogContext(std::nullptr_t) {}
    MSRLogContext(std::string text)
        : value_(text.size() > kMaxTextBytes ? cut(text) : std::move(text)) {}
    MSRLogContext(std::string_view text) : value_(cut(text)) {}
    MSRLogContext(const char* text) : value_(text ? Value(cut(text)) : Value()) {}
    MSRLogContext(double number) : value_(number) {}
    MSRLogContext(float number) : value_(static_cast<double>(number)) {}
    // Integers (and booleans, as 0 and 1) are kept as signed 64-bit numbers;
    // unsigned values beyond that range are kept as doubles rather than wrapped.
    template <std::integral T>
    MSRLogContext(T number) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(int64_t)) {
            if (number > static_cast<T>(std::numeric_limits<int64_t>::max())) {
                value_ = static_cast<double>(number);
                return;
            }
        }
        value_ = static_cast<int64_t>(number);
    }
    MSRLogContext(MSRException exception) : value_(std::move(exception)) {}
    MSRLogContext(MSRError error) : value_(std::move(error)) {}
    MSRLogContext(Object object) : value_(std::move(object)) {}
    MSRLogContext(MSRFormattedText formatted) : value_(std::move(formatted.text)), formatted_(true) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
    bool isNumber() const { return integer() || floating(); }
    const std::string* text() const { return std::get_if<std::string>(&value_); }
    const int64_t* integer() const { return std::get_if<int64_t>(&value_); }
    const double* floating() const { return std::get_if<double>(&value_); }
    const MSRException* exception() const { return std::get_if<MSRException>(&value_); }
    const MSRError* error() const { return std::get_if<MSRError>(&value_); }
    const Object* object() const { return std::get_if<Object>(&value_); }

    // How the object describes itself in a console line.
    std::string description() const;

private:
    using Value = std::variant<std::monostate, std::string, int64_t, double, MSRException,
                               MSRError, Object>;
    Value value_;
    bool formatted_ = false;
};
