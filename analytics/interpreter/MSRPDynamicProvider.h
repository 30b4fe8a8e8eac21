#pragma once
// The modules a program can load with `require`, made on demand by creators
// registered by name. One per runtime.

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "analytics/interpreter/MSRPRuntimeValue.h"

class MSRPDynamicProvider {
  public:
    // Answers the module value, or undefined when it could not make one.
    using Creator = std::function<MSRPValue()>;

    // Replaces an earlier creator of that name.
    void setModuleCreator(Creator creator, const std::string& name) { creators_[name] = std::move(creator); }
    // Undefined without error when no creator has that name; error 15 when
    // the creator makes nothing.
    MSRPValue moduleForName(std::string_view name, int* error) const {
        auto it = creators_.find(name);
        if (it == creators_.end() || !it->second) return MSRPValue();
        MSRPValue module = it->second();
        if (module.isUndefined()) MSRPSetError(error, MSRPErrorCode::kEmptyModule);
        return module;
    }

  private:
    std::map<std::string, Creator, std::less<>> creators_;
};
