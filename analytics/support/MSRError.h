#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class MSRLogContext;

// An error of the analytics engine: a domain, a small code naming the kind of
// failure and a user-information dictionary that holds at most the description
// and the monitor context. Fallible engine operations answer false or an empty
// result and describe the cause through an `MSRError*` out-parameter that may
// be null.
class MSRError {
public:
    // Key of the description in the user information.
    static constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
    // Key of the monitor context in the user information.
    static constexpr const char* kMonitorContextKey = "MSRMonitorContext";

    MSRError() = default;
    MSRError(std::string domain, int64_t code, std::map<std::string, std::string> userInfo = {});

    // The one domain of every engine error.
    static const std::string& engineDomain();

    // A new engine error. The description and the monitor context enter the
    // user information only when they are non-empty.
    static MSRError msr_errorWithCode(int64_t code, std::string_view description,
                                      std::string_view monitorContext = {});

    const std::string& domain() const { return domain_; }
    int64_t code() const { return code_; }
    const std::map<std::string, std::string>& userInfo() const { return userInfo_; }

    // The description, empty when none was given.
    std::string localizedDescription() const;
    // The monitor context, empty when none was given.
    std::string monitorContext() const;
    bool isEngineError() const { return domain_ == engineDomain(); }

    // "Error Domain=<domain> Code=<code> "<description>"", as shown in console lines.
    std::string description() const;

    bool operator==(const MSRError&) const = default;

private:
    std::string domain_;
    int64_t code_ = 0;
    std::map<std::string, std::string> userInfo_;
};

// Stores a new engine error through `error` when it is non-null.
void MSRSetError(MSRError* error, int64_t code, std::string_view description);
void MSRSetErrorWithMonitorContext(MSRError* error, int64_t code, std::string_view description,
                                   std::string_view monitorContext);

// Test-and-report in one step: each stores an engine error through `error`
// (when non-null) if the value fails and answers whether it passed.
bool MSRCheckSuccess(bool success, MSRError* error, int64_t code, std::string_view description);
bool MSRCheckNotNil(const void* object, MSRError* error, int64_t code, std::string_view description);
bool MSRCheckNotNull(const void* pointer, MSRError* error, int64_t code,
                     std::string_view description);
bool MSRCheckNonZero(uint64_t value, MSRError* error, int64_t code, std::string_view description);

// The non-empty monitor contexts of the engine errors among `contexts`, in
// order, joined with ","; other items are skipped.
std::string MSRMonitorContextsFromErrors(const std::vector<MSRLogContext>& contexts);
