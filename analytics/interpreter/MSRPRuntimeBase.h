#pragma once
// What every object of a running program rests on: the error codes, the
// reference counting of heap values, the memory account that every
// allocation for a program counts on, and the charge point that every
// piece of work passes.

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
// The time beside the guard's: the end of the process stopped the run, or
// the limit its caller set for this one run passed first.
inline constexpr int kApplicationEnd = 22;
inline constexpr int kRunLimit = 23;
// The bounds on what one program builds beside the memory ceiling, far
// above any real program's: the parameters of the event it edits (the
// engine keeps 25 of a stored event) and the parameters of one function.
// Each stops the run and is reported like the guards.
inline constexpr int kEventParameters = 24;
inline constexpr int kFunctionParameters = 25;
// Whether `code` is one of the guards that stop a run (18 to 25).
inline constexpr bool isStop(int code) { return code >= kInstructionBudget && code <= kFunctionParameters; }
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

