#include "analytics/support/MSRError.h"

#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRLogContext.h"

#include <utility>

MSRError::MSRError(std::string domain, int64_t code, std::map<std::string, std::string> userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

const std::string& MSRError::engineDomain() {
    static const std::string domain = std::string(kMSRReverseDomainRoot) + ".ErrorDomain";
    return domain;
}

MSRError MSRError::msr_errorWithCode(int64_t code, std::string_view description,
                                     std::string_view monitorContext) {
    std::map<std::string, std::string> userInfo;
    if (!description.empty()) userInfo.emplace(kLocalizedDescriptionKey, description);
    if (!monitorContext.empty()) userInfo.emplace(kMonitorContextKey, monitorContext);
    return MSRError(engineDomain(), code, std::move(userInfo));
}

std::string MSRError::localizedDescription() const {
    auto it = userInfo_.find(kLocalizedDescriptionKey);
    return it == userInfo_.end() ? std::string() : it->second;
}

std::string MSRError::monitorContext() const {
    auto it = userInfo_.find(kMonitorContextKey);
    return it == userInfo_.end() ? std::string() : it->second;
}

std::string MSRError::description() const {
    std::string text = "Error Domain=" + domain_ + " Code=" + std::to_string(code_);
    std::string desc = localizedDescription();
    if (!desc.empty()) text += " \"" + desc + "\"";
    std::string context = monitorContext();
    if (!context.empty()) text += " UserInfo={MSRMonitorContext=" + context + "}";
    return text;
}

void MSRSetError(MSRError* error, int64_t code, std::string_view description) {
    if (error) *error = MSRError::msr_errorWithCode(code, description);
}

void MSRSetErrorWithMonitorContext(MSRError* error, int64_t code, std::string_view description,
                                   std::string_view monitorContext) {
    if (error) *error = MSRError::msr_errorWithCode(code, description, monitorContext);
}

bool MSRCheckSuccess(bool success, MSRError* error, int64_t code, std::string_view description) {
    if (!success) MSRSetError(error, code, description);
    return success;
}

bool MSRCheckNotNil(const void* object, MSRError* error, int64_t code,
                    std::string_view description) {
    return MSRCheckSuccess(object != nullptr, error, code, description);
}

bool MSRCheckNotNull(const void* pointer, MSRError* error, int64_t code,
                     std::string_view description) {
    return MSRCheckSuccess(pointer != nullptr, error, code, description);
}

bool MSRCheckNonZero(uint64_t value, MSRError* error, int64_t code,
                     std::string_view description) {
    return MSRCheckSuccess(value != 0, error, code, description);
}

std::string MSRMonitorContextsFromErrors(const std::vector<MSRLogContext>& contexts) {
    std::string joined;
    for (const MSRLogContext& context : contexts) {
        const MSRError* error = context.error();
        if (!error || !error->isEngineError()) continue;
        std::string monitorContext = error->monitorContext();
        if (monitorContext.empty()) continue;
        if (!joined.empty()) joined += ',';
        joined += monitorContext;
    }
    return joined;
}
