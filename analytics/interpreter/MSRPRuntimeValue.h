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
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The interpreter's error domain and the event-editing one.
extern const char* const MSRPErrorDomain;
extern const char* const MSRPEditingErrorDomain;

namespace MSRPErrorCode {
inline constexpr int kNone = 0;
inline constexpr int kUndeclaredVariable = 2;
inline constexpr int kNoTruthValue = 3;
inline constexpr int kNoNumberForm = 4;
inline constexpr int kNoTextForm = 5;
inline constexpr int kPropertyOfNothing = 6;
inline constexpr int kMethodOfNothing = 7;
inline constexpr int kReduceOfEmpty = 8;
inline constexpr int kArgumentCount = 9;
inline constexpr int kArgumentKind = 10;
inline constexpr int kInvalidLength = 11;
inline constexpr int kUnknownEntityType = 12;
inline constexpr int kNoInterpreterForm = 13;
inline constexpr int kUnnamedStatement = 14;
inline constexpr int kEmptyModule = 15;
inline constexpr int kNotIterable = 16;
inline constexpr int kNotCallable = 17;
inline constexpr int kInstructionBudget = 18;
// The interpreter's own guards beside the budget: nesting of evaluations
// (calls included) deeper than the depth limit, live values beyond the memory
// ceiling, and a run past its time guard. Inside a run they stay apart; a
// run stopped by any of them reports 18 to the runtime's caller, since each
// is a budget the program exhausted, and the runtime keeps which one it was.
inline constexpr int kDepthLimit = 19;
inline constexpr int kMemoryLimit = 20;
inline constexpr int kTimeLimit = 21;
// Whether `code` is one of the guards that stop a run (18 to 21).
inline constexpr bool isStop(int code) { return code >= kInstructionBudget && code <= kTimeLimit; }
}  // namespace MSRPErrorCode

// Sets *error to `code` unless an error is already there or error is null.
inline void MSRPSetError(int* error, int code) {
    if (error && *error == 0) *error = code;
}

// Intrusive, single-threaded reference counting. Releasing the last reference
// of a deeply nested value frees its children from a loop, not by recursion,
// so that no nesting depth can exhaust the native stack.
class MSRPRefCounted {
  public:
    MSRPRefCounted(const MSRPRefCounted&) = delete;
    MSRPRefCounted& operator=(const MSRPRefCounted&) = delete;

    void retain() noexcept { ++references_; }
    void release() noexcept {
        if (--references_ == 0) destroy(this);
    }
    uint32_t referenceCount() const { return references_; }

  protected:
    MSRPRefCounted() = default;
    virtual ~MSRPRefCounted() = default;
    // For the shared instances that live as long as the process.
    void makePermanent() { references_ = 1u << 30; }
    // What becomes of an object without references: deleted, unless its
    // class keeps it for reuse.
    virtual void dispose() noexcept { delete this; }

  private:
    static void destroy(MSRPRefCounted* object) noexcept;
    uint32_t references_ = 0;
};

// A strong pointer to a reference-counted object.
template <class T>
class MSRPRef {
  public:
    MSRPRef() = default;
    MSRPRef(T* object) : object_(object) {  // NOLINT: implicit by design
        if (object_) object_->retain();
    }
    MSRPRef(const MSRPRef& other) : MSRPRef(other.object_) {}
    MSRPRef(MSRPRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <class U>
    MSRPRef(const MSRPRef<U>& other) : MSRPRef(other.get()) {}  // NOLINT
    ~MSRPRef() {
        if (object_) object_->release();
    }
    MSRPRef& operator=(MSRPRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    template <class... A>
    static MSRPRef make(A&&... arguments) {
        return MSRPRef(new T(std::forward<A>(arguments)...));
    }
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    T* object_ = nullptr;
};

// Bytes held by the interpreter's live values. Every runtime keeps its own
// account with one ceiling for everything its values hold, whichever run made
// them: a program that keeps a little more after every event meets the same
// ceiling as one that allocates it all at once. The account in use on this
// thread is the runtime's while it runs, collects or is torn down; values
// made or freed outside every runtime only count on this thread's total.
// The ceiling is checked before any allocation that a program can make large
// and before every statement.
namespace MSRPMemory {
inline constexpr int64_t kDefaultLimit = int64_t{64} << 20;
struct Account {
    int64_t used = 0;
    int64_t limit = kDefaultLimit;
    // The most it ever held: what a check after the fact would let pass.
    int64_t peak = 0;
};
// All live values on this thread, whatever their account.
inline thread_local int64_t tUsedBytes = 0;
// The account in use, mirrored in the three below while it is: they are
// read and written on every allocation and before every statement, and
// written back when another account takes over. With none in use nothing
// is bounded.
inline thread_local Account* tAccount = nullptr;
inline thread_local int64_t tAccountUsed = 0;
inline thread_local int64_t tAccountLimit = INT64_MAX;
inline thread_local int64_t tAccountPeak = 0;
inline void add(int64_t bytes) {
    tUsedBytes += bytes;
    tAccountUsed += bytes;
    if (tAccountUsed > tAccountPeak) tAccountPeak = tAccountUsed;
}
inline int64_t used() { return tUsedBytes; }
// Whether `bytes` more would still fit under the ceiling of the account in use.
inline bool fits(int64_t bytes) { return bytes >= 0 && tAccountUsed + bytes <= tAccountLimit; }
// Whether the account in use holds more than its ceiling allows.
inline bool exceeded() { return tAccountUsed > tAccountLimit; }
// Makes `account` the one in use for as long as it lives; its limit is read
// when it comes into use.
class UseAccount {
  public:
    explicit UseAccount(Account& account) : previous_(tAccount) {
        store();
        load(&account);
    }
    ~UseAccount() {
        store();
        load(previous_);
    }
    UseAccount(const UseAccount&) = delete;
    UseAccount& operator=(const UseAccount&) = delete;

  private:
    static void store() {
        if (!tAccount) return;
        tAccount->used = tAccountUsed;
        tAccount->peak = tAccountPeak;
    }
    static void load(Account* account) {
        tAccount = account;
        tAccountUsed = account ? account->used : 0;
        tAccountLimit = account ? account->limit : INT64_MAX;
        tAccountPeak = account ? account->peak : 0;
    }
    Account* previous_;
};
}  // namespace MSRPMemory

// The one allocator of what a program's values and the native calls working
// for it hold beyond the value objects themselves: texts under
// construction, element and binding lists, parameter lists, conversions.
// Stateless: it counts on the account in use on this thread when it
// allocates and frees, like the value objects do. It never refuses: a run
// whose account goes past its ceiling is stopped at its next charge
// (MSRPWork::charge), which every loop that allocates passes through.
namespace MSRPMemory {
template <class T>
struct Allocator {
    using value_type = T;
    Allocator() = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}  // NOLINT: rebinding
    T* allocate(size_t count) {
        add(static_cast<int64_t>(count * sizeof(T)));
        return std::allocator<T>().allocate(count);
    }
    void deallocate(T* pointer, size_t count) noexcept {
        add(-static_cast<int64_t>(count * sizeof(T)));
        std::allocator<T>().deallocate(pointer, count);
    }
    template <class U>
    bool operator==(const Allocator<U>&) const noexcept {
        return true;
    }
};
using Text = std::basic_string<char, std::char_traits<char>, Allocator<char>>;
using UnitText = std::basic_string<char16_t, std::char_traits<char16_t>, Allocator<char16_t>>;
template <class T>
using List = std::vector<T, Allocator<T>>;
}  // namespace MSRPMemory

// A function's parameter names.
using MSRPParameterNames = MSRPMemory::List<MSRPMemory::Text>;

struct MSRPExecution;

// Work in proportion to the size of a value (comparing, searching,
// converting, copying, joining, sorting, binding, compiling a pattern) is
// charged to the running program's instruction count, one instruction per
// kBytesPerInstruction bytes, while it is done: a native loop charges what it
// has done every kChunk bytes or so through MSRPWork::charge, the one charge
// point, which also looks at the clock, the stop of the end and the memory
// account (MSRPExecution::charge). A false answer means the run has stopped:
// the loop returns at once with any answer, which the run drops. Outside a
// run nothing is charged.
namespace MSRPWork {
inline constexpr int64_t kBytesPerInstruction = 64;
// How much a native loop does between two charges: a few microseconds.
inline constexpr size_t kChunk = size_t{16} << 10;
// The execution of the run under way on this thread, or null.
inline thread_local MSRPExecution* tExecution = nullptr;
// Charges work on `bytes` bytes; false once the run has stopped.
bool charge(int64_t bytes);
// The same for work that takes about a nanosecond a byte (converting
// between UTF-8 and UTF-16, trimming, reading digits).
bool chargeConversion(int64_t bytes);
// Whether the run under way has stopped (false outside a run).
bool stopped();
}  // namespace MSRPWork

// How many emptied objects of a kind that every call makes (scopes, return
// markers) are kept for reuse per thread. None under AddressSanitizer, so
// that a use after the end of one is still caught.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr size_t kMSRPKeptForReuse = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr size_t kMSRPKeptForReuse = 0;
#else
inline constexpr size_t kMSRPKeptForReuse = 256;
#endif
#else
inline constexpr size_t kMSRPKeptForReuse = 256;
#endif

enum class MSRPValueKind : uint8_t {
    Undefined,
    Null,
    Boolean,
    Number,
    Hole,  // the marker of a missing array element
    String,
    Map,
    Array,
    Function,
    Control,
    Statement,
};

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
    static MSRPValue string(std::string text);

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
    const std::string& text() const;  // a string value's text
    MSRPMapValue* map() const;
    MSRPArrayValue* array() const;
    MSRPFunctionValue* function() const;
    MSRPControlValue* control() const;
    MSRPStatementValue* statement() const;
    MSRPObjectValue* trackedObject() const;  // map, array or function

    // The conversions: text form, number form, truth value. A value without
    // one sets error 5, 4 or 3 and answers "", NaN or false.
    std::string stringValueOrError(int* error) const;
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

// Base of the heap values.
class MSRPRuntimeValue : public MSRPRefCounted {
  public:
    MSRPValueKind kind() const { return kind_; }
    // The collection round in which the collector last reached this value.
    uint32_t markEpoch() const { return markEpoch_; }
    void setMarkEpoch(uint32_t epoch) { markEpoch_ = epoch; }

  protected:
    explicit MSRPRuntimeValue(MSRPValueKind kind) : kind_(kind) {}

  private:
    MSRPValueKind kind_;
    uint32_t markEpoch_ = 0;
};

class MSRPStringValue final : public MSRPRuntimeValue {
  public:
    explicit MSRPStringValue(std::string value);
    ~MSRPStringValue() override;
    const std::string& value() const { return value_; }
    // The text as UTF-16 code units, which the string's length and indices count.
    std::u16string utf16() const;

  private:
    std::string value_;
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

    MSRPStatementValue(std::string functionName, std::vector<MSRPValue> arguments);
    const std::string& functionName() const { return functionName_; }
    const std::vector<MSRPValue>& arguments() const { return arguments_; }
    // The command the key names, resolved once; null for a function name.
    const MSRPCommand* command() const { return command_; }

    Shape shape() const { return shape_; }
    // The name a ReadName, AssignName or Call statement looks up, its
    // summary bit and key (MSRPPropertyMap::nameBit, leadingKey) and where
    // it was last found.
    std::string_view lookedUpName() const { return *lookedUpName_; }
    uint64_t nameBit() const { return nameBit_; }
    uint64_t nameKey() const { return nameKey_; }
    MSRPNameCache& nameCache() const { return nameCache_; }

  private:
    std::string functionName_;
    std::vector<MSRPValue> arguments_;
    const MSRPCommand* command_;
    Shape shape_ = Shape::General;
    const std::string* lookedUpName_ = &functionName_;
    uint64_t nameBit_ = 0;
    uint64_t nameKey_ = 0;
    mutable MSRPNameCache nameCache_;
};

inline const std::string& MSRPValue::text() const { return static_cast<MSRPStringValue*>(object_)->value(); }
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
// Texts compared byte by byte, charged as they are compared: equal, or the
// order (-1, 0, 1). Once the run stops, any answer.
bool MSRPTextsEqual(std::string_view a, std::string_view b);
int MSRPCompareTexts(std::string_view a, std::string_view b);
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
std::string MSRPUTF8(std::u16string_view units);
