#pragma once
// The one text type of a program: every string value, every name a program
// binds (variables, parameters, loop variables, functions), every map key,
// and the names in the working copy of the event a program edits.
//
// As in Lua, a text is made once and never changes, and it is shared by
// reference: binding it to a name, passing it as a key, copying an event or
// a closure that holds it copies a pointer. Its bytes are allocated through
// the interpreter's allocator, so they count on the memory account in use
// when it is made, and making a long one is charged at the charge point
// (MSRPWork::charge) before its bytes are copied. Its hash is computed the
// first time a table needs it, charged then, and kept. The hash is keyed
// (SipHash-1-3 under a key the operating system gives each process), so
// names that share a hash cannot be computed ahead of a run. Two texts are equal
// at once when they are one object; otherwise their bytes are compared,
// charged as they are read.
//
// The body of a text is the program's string value itself (MSRPStringValue),
// so a name and the string value it came from are one object.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/interpreter/MSRPRuntimeBase.h"

class MSRPStringValue final : public MSRPRuntimeValue {
  public:
    explicit MSRPStringValue(MSRPMemory::Text bytes);
    ~MSRPStringValue() override;
    std::string_view value() const { return {bytes_.data(), bytes_.size()}; }
    // The text as UTF-16 code units, which the string's length and indices count.
    std::u16string utf16() const;

  private:
    friend class MSRPText;
    MSRPMemory::Text bytes_;
    mutable uint64_t hash_ = 0;
    mutable bool hashed_ = false;
};

class MSRPText {
  public:
    // Texts up to this long are made, compared and hashed without a charge:
    // the evaluation that works on them pays for them.
    static constexpr size_t kUnchargedBytes = 256;

    // The empty text (no object until one is needed).
    MSRPText() = default;
    explicit MSRPText(MSRPStringValue* body) : body_(body) {}

    // A new text holding `bytes`: its making is charged and its bytes count
    // on the account in use. Once the run has stopped, any text.
    static MSRPText make(std::string_view bytes);
    static MSRPText make(const char* bytes) { return make(std::string_view(bytes)); }
    // The same for bytes already allocated through the interpreter's allocator
    // (a text built in place): taken over, not copied.
    static MSRPText make(MSRPMemory::Text&& bytes);

    // Never a null pointer, not even for the empty text: its bytes may go
    // wherever memory functions read them.
    std::string_view view() const { return body_ ? body_->value() : std::string_view("", 0); }
    operator std::string_view() const { return view(); }  // NOLINT: a text reads as its bytes
    const char* data() const { return view().data(); }
    size_t size() const { return body_ ? body_->bytes_.size() : 0; }
    bool empty() const { return size() == 0; }
    // A copy for the host, made where a host call converts the text.
    std::string str() const { return std::string(view()); }

    // Computed once, charged then, and kept.
    uint64_t hash() const;
    // The hash that hash() gives, for bytes that are not a text (a host's literal).
    static uint64_t hashOf(std::string_view bytes);

    // Where the process's hash key comes from: the system call, and where
    // the system has none (an old kernel, a filter that answers ENOSYS or
    // EPERM), the system's random device.
    struct HashKeySource {
        // As getrandom(2) with no flags: the bytes given, or -1 with errno.
        std::function<ssize_t(void* buffer, size_t size)> getrandom;
        std::string device = "/dev/urandom";
        static HashKeySource system();
    };
    // 16 bytes from `source`, none when neither of its ways gives them.
    static std::optional<std::array<uint64_t, 2>> drawHashKey(const HashKeySource& source);
    // Whether the process has its key (drawn on first use). Without one the
    // texts hash under a key anyone knows (zero), so no table could be
    // trusted with a server's names: no program may run.
    static bool hasHashKey();
    // For tests only: the source the process's key is drawn from, set before
    // anything is hashed (in a process of its own).
    static void setHashKeySourceForTesting(HashKeySource source);

    // For tests and fuzzing only: while on, every text hashes to one value, so
    // that every text-keyed table holds all its entries in one bucket and any
    // walk of a bucket that is not charged shows as work past its charge. Set
    // it before any text is hashed and back before the next test; a kept hash
    // is not read while it is on.
    static void setHashesAlikeForTesting(bool alike);

    // The string value this text is, made for the empty text on first use.
    MSRPStringValue* body();
    bool isSameObject(const MSRPText& other) const { return body_.get() == other.body_.get(); }

    // Identity first; then sizes, kept hashes, and the bytes, charged.
    friend bool operator==(const MSRPText& a, const MSRPText& b);
    friend bool operator==(const MSRPText& a, std::string_view b);

  private:
    // Whether both hashes are known and differ: then so do the texts.
    static bool knownHashesDiffer(const MSRPText& a, const MSRPText& b);

    MSRPRef<MSRPStringValue> body_;
};

// Texts compared byte by byte, charged as they are compared: equal, or the
// order (-1, 0, 1). Once the run stops, any answer.
bool MSRPTextsEqual(std::string_view a, std::string_view b);
int MSRPCompareTexts(std::string_view a, std::string_view b);

// Orders texts by their bytes (charged), for the tables keyed by texts.
struct MSRPTextLess {
    bool operator()(const MSRPText& a, const MSRPText& b) const { return MSRPCompareTexts(a, b) < 0; }
};
