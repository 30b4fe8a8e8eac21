#pragma once
// The edit and create callbacks a program registered, by priority. A root of
// the runtime's collector, so that callbacks and what they close over live as
// long as the program.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPObjectManager.h"

class MSRPEditingCallbackHandler final : public MSRPGarbageCollectionRoot {
  public:
    static constexpr size_t kMaxCallbacks = 1000;
    static constexpr int32_t kDefaultPriority = 1000;

    // 0, or the editing error: 4 when full, 3 for a type other than "edit"
    // and "create". A priority already used moves behind the largest one.
    int registerWithPriority(int32_t priority, MSRPValue callback, std::string_view type);

    // Ascending priority.
    const std::map<int32_t, MSRPValue>& editCallbacks() const { return edit_; }
    const std::map<int32_t, MSRPValue>& createCallbacks() const { return create_; }

    void mark(MSRPMarker& marker) const override;

  private:
    std::map<int32_t, MSRPValue> edit_;
    std::map<int32_t, MSRPValue> create_;
};
