#pragma once
// The values an event-editing program handles.
//
// A value is a small handle (MSRPValue, 16 bytes): undefined, null, booleans,
// numbers and the array hole live in the handle itself; texts, maps, arrays,
// functions, control markers and statements are heap objects derived from
// MSRPRuntimeValue and shared by pointer, so binding a value to a second name
// never copies it. Heap objects count their references (one thread only: the
// analytics worker); maps, arrays and functions are also tracked by their
// runtime's object manager, whose collection empties the unreachable ones so
// that reference cycles break.
//
// Failures are codes of the interpreter's error domain (MSRPErrorCode), set
// through an `int* error` out-parameter or on the running MSRPExecution.


#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analytics/interpreter/MSRPRuntimeBase.h"
#include "analytics/interpreter/MSRPText.h"

// A function's parameter names.
using MSRPParameterNames = MSRPMemory::List<MSRPText>;

class MSRPRuntimeValue;
class MSRPStringValue;
class MSRPMapValue;
class MSRPArrayValue;
class MSRPFunctionValue;
class MSRPControlValue;
class MSRPStatementValue;
class MSRPObjectValue;

class MSRPValue {
  public:
    MSRPValue() : kind_(MSRPValueKind::Undefined), number_(0) {}
    MSRPValue(MSRPRuntimeValue* object);  // NOLINT: retains; null gives undefined
    template <class T>
    MSRPValue(const MSRPRef<T>& object) : MSRPValue(static_cast<MSRPRuntimeValue*>(object.get())) {}  // NOLINT
    MSRPValue(const MSRPValue& other) : kind_(other.kind_), number_(other.number_) {
        if (isObject()) retainObject();
    }
    MSRPValue(MSRPValue&& other) noexcept : kind_(other.kind_), number_(other.number_) {
        other.kind_ = MSRPValueKind::Undefined;
    }
    MSRPValue& operator=(const MSRPValue& other) {
        MSRPValue copy(other);
        swap(copy);
        return *this;
    }
    MSRPValue& operator=(MSRPValue&& other) noexcept {
        MSRPValue moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~MSRPValue() {
        if (isObject()) releaseObject();
    }
    void swap(MSRPValue& other) noexcept {
        std::swap(kind_, other.kind_);
        std::swap(number_, other.number_);
    }

    static MSRPValue undefined() { return MSRPValue(); }
    static MSRPValue null() { return MSRPValue(MSRPValueKind::Null); }
    static MSRPValue hole() { return MSRPValue(MSRPValueKind::Hole); }
    static MSRPValue boolean(bool value) {
        MSRPValue v(MSRPValueKind::Boolean);
        v.boolean_ = value;
        return v;
    }
    static MSRPValue number(double value) {
        MSRPValue v(MSRPValueKind::Number);
        v.number_ = value;
        return v;
    }
    // A string value of new text (made, charged and counted) or of a text
    // that exists already (shared).
    static MSRPValue string(std::string_view text) { return string(MSRPText::make(text)); }
    static MSRPValue string(const char* text) { return string(MSRPText::make(text)); }
    static MSRPValue string(MSRPMemory::Text&& text) { return string(MSRPText::make(std::move(text))); }
    static MSRPValue string(MSRPText text) { return MSRPValue(text.body()); }

    MSRPValueKind kind() const { return kind_; }
    bool isObject() const { return kind_ >= MSRPValueKind::String; }
    bool isUndefined() const { return kind_ == MSRPValueKind::Undefined; }
    bool isNull() const { return kind_ == MSRPValueKind::Null; }
    bool isHole() const { return kind_ == MSRPValueKind::Hole; }
    bool isNumber() const { return kind_ == MSRPValueKind::Number; }
    bool isBoolean() const { return kind_ == MSRPValueKind::Boolean; }
    bool isString() const { return kind_ == MSRPValueKind::String; }
    bool isMap() const { return kind_ == MSRPValueKind::Map; }
    bool isArray() const { return kind_ == MSRPValueKind::Array; }
    bool isFunction() const { return kind_ == MSRPValueKind::Function; }
    bool isControl() const { return kind_ == MSRPValueKind::Control; }
    bool isStatement() const { return kind_ == MSRPValueKind::Statement; }
    // Maps, arrays and functions: the values with a property map.
    bool hasPropertyMap() const {
        return kind_ == MSRPValueKind::Map || kind_ == MSRPValueKind::Array || kind_ == MSRPValueKind::Function;
    }

    double numberValue() const { return number_; }
    bool booleanValue() const { return boolean_; }
    MSRPRuntimeValue* object() const { return isObject() ? object_ : nullptr; }
    // A string value's bytes, and its text itself (shared).
    std::string_view text() const;
    MSRPText sharedText() const;
    MSRPMapValue* map() const;
    MSRPArrayValue* array() const;
    MSRPFunctionValue* function() const;
    MSRPControlValue* control() const;
    MSRPStatementValue* statement() const;
    MSRPObjectValue* trackedObject() const;  // map, array or function

    // The conversions: text form, number form, truth value. A value without
    // one sets error 5, 4 or 3 and answers "", NaN or false. A string value
    // answers its own text; any other value makes a new one.
    MSRPText stringValueOrError(int* error) const;
    double doubleValueOrError(int* error) const;
    bool booleanValueOrError(int* error) const;

    // Deep structural equality (NaN equals NaN here; maps and arrays by their
    // contents). Cyclic and deeply nested values are compared without
    // recursion.
    bool isEqualToRuntimeValue(const MSRPValue& other) const;

  private:
    explicit MSRPValue(MSRPValueKind kind) : kind_(kind), number_(0) {}
    void retainObject() const;
    void releaseObject() const;

    MSRPValueKind kind_;
    union {
        double number_;
        bool boolean_;
        MSRPRuntimeValue* object_;
    };
};

// break, continue (shared instances) and return markers carrying a value.
class MSRPControlValue final : public MSRPRuntimeValue {
  public:
    enum class Type : uint8_t { Break, Continue, Return };
    static MSRPControlValue* breakValue();
    static MSRPControlValue* continueValue();
    static MSRPRef<MSRPControlValue> returnValueWithData(MSRPValue data);

    Type type() const { return type_; }
    const MSRPValue& data() const { return data_; }
    // "break", "continue" or "return".
    const char* typeName() const;

    MSRPControlValue(Type type, MSRPValue data) : MSRPRuntimeValue(MSRPValueKind::Control), type_(type), data_(std::move(data)) {}

  private:
    // Return markers, made by every return, are emptied and kept for reuse.
    void dispose() noexcept override;

    Type type_;
    MSRPValue data_;
};

struct MSRPCommand;

// Where a statement last found the name it looks up: so many scopes up the
// chain, at that slot of the scope's bindings. Only a hint: every use checks
// that no nearer scope binds the name and that the slot still holds it, so a
// statement run from other scopes (another call, a closure, a later
// declaration that shadows the name) finds what a search would find.
struct MSRPNameCache {
    static constexpr uint32_t kUnknown = UINT32_MAX;
    uint32_t depth = kUnknown;
    uint32_t slot = 0;
};

// An unevaluated statement: a command key (or the name of a function to call)
// and its argument values, themselves literals or statements.
class MSRPStatementValue final : public MSRPRuntimeValue {
  public:
    // The forms the evaluator runs without the general road, found once when
    // the statement is made (statements never change afterwards).
    enum class Shape : uint8_t {
        General,
        // A variable read whose one argument is a literal name.
        ReadName,
        // A call of the function a name binds.
        Call,
        // An operator of two arguments, evaluated (arithmetic, comparison).
        Binary,
        // An assignment of two arguments whose first is a literal name.
        AssignName,
        // A command of up to three evaluated arguments.
        Evaluated,
        // A return of one value or none.
        Return,
        // A property read of two arguments (object, key), evaluated.
        ReadProperty,
        // A property write of three arguments (object, key, value), evaluated.
        WriteProperty,
    };

    // It and its argument list count on the account in use: a program's
    // statements are values like any other.
    MSRPStatementValue(MSRPText functionName, std::vector<MSRPValue> arguments);
    ~MSRPStatementValue() override;
    const MSRPText& functionName() const { return functionName_; }
    const std::vector<MSRPValue>& arguments() const { return arguments_; }
    // The command the key names, resolved once; null for a function name.
    const MSRPCommand* command() const { return command_; }

    Shape shape() const { return shape_; }
    // The name a ReadName, AssignName or Call statement looks up, its
    // summary bit and key (MSRPPropertyMap::nameBit, leadingKey) and where
    // it was last found.
    const MSRPText& lookedUpName() const { return lookedUpName_; }
    uint64_t nameBit() const { return nameBit_; }
    uint64_t nameKey() const { return nameKey_; }
    MSRPNameCache& nameCache() const { return nameCache_; }

  private:
    int64_t heldBytes() const {
        return static_cast<int64_t>(sizeof(*this) + arguments_.capacity() * sizeof(MSRPValue));
    }

    MSRPText functionName_;
    std::vector<MSRPValue> arguments_;
    const MSRPCommand* command_;
    Shape shape_ = Shape::General;
    MSRPText lookedUpName_;
    uint64_t nameBit_ = 0;
    uint64_t nameKey_ = 0;
    mutable MSRPNameCache nameCache_;
};

inline std::string_view MSRPValue::text() const { return static_cast<MSRPStringValue*>(object_)->value(); }
inline MSRPText MSRPValue::sharedText() const { return MSRPText(static_cast<MSRPStringValue*>(object_)); }
inline MSRPControlValue* MSRPValue::control() const {
    return isControl() ? static_cast<MSRPControlValue*>(object_) : nullptr;
}
inline MSRPStatementValue* MSRPValue::statement() const {
    return isStatement() ? static_cast<MSRPStatementValue*>(object_) : nullptr;
}
inline void MSRPValue::retainObject() const { object_->retain(); }
inline void MSRPValue::releaseObject() const { object_->release(); }

// The shared helpers of every command.

// Exactly / at least / at most n elements; otherwise error 9 and false.
// Checked by nearly every command: kept inline.
inline bool MSRPCheckArgumentCount(size_t count, size_t n, int* error) {
    if (count == n) return true;
    MSRPSetError(error, MSRPErrorCode::kArgumentCount);
    return false;
}
inline bool MSRPCheckMinimumArgumentCount(size_t count, size_t n, int* error) {
    if (count >= n) return true;
    MSRPSetError(error, MSRPErrorCode::kArgumentCount);
    return false;
}
inline bool MSRPCheckMaximumArgumentCount(size_t count, size_t n, int* error) {
    if (count <= n) return true;
    MSRPSetError(error, MSRPErrorCode::kArgumentCount);
    return false;
}
// Arrays, functions, maps and texts.
bool MSRPIsObjectOrString(const MSRPValue& value);
// A number or text whose number form is finite, integral and not negative.
bool MSRPIsArrayIndex(const MSRPValue& value);
int32_t MSRPToInt32(double value);
double MSRPToInteger(double value);
bool MSRPStringValuesEqual(const MSRPValue& a, const MSRPValue& b, int* error);
bool MSRPNumberValuesEqual(const MSRPValue& a, const MSRPValue& b, int* error);
bool MSRPStrictEquals(const MSRPValue& a, const MSRPValue& b, int* error);

// Number to text as programs see it: "NaN", "Infinity", "0" for both zeros,
// the shortest round-trip digits written out between 1e-6 and 1e21, and
// scientific with "e+"/"e-" outside.
std::string MSRPNumberToString(double value);
// Text to number: trimmed; "" is 0; "NaN", "Infinity", "-Infinity"; else a
// whole decimal number or NaN.
double MSRPStringToNumber(std::string_view text);
// UTF-8 to UTF-16 code units and back (invalid bytes become U+FFFD).
std::u16string MSRPUTF16(std::string_view text);
// The UTF-8 is built through the interpreter's allocator: a string value takes it over.
MSRPMemory::Text MSRPUTF8(std::u16string_view units);
