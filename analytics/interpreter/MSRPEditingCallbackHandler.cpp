#include "analytics/interpreter/MSRPEditingCallbackHandler.h"

#include <limits>

int MSRPEditingCallbackHandler::registerWithPriority(int32_t priority, MSRPValue callback, std::string_view type) {
    if (edit_.size() + create_.size() >= kMaxCallbacks) return 4;
    std::map<int32_t, MSRPValue>* selected = type == "create" ? &create_ : type == "edit" ? &edit_ : nullptr;
    if (!selected) return 3;
    if (selected->count(priority)) {
        int32_t largest = selected->rbegin()->first;
        // The largest priority cannot move further: the callback runs last
        // but one rather than replacing the last.
        if (largest == std::numeric_limits<int32_t>::max()) {
            for (priority = largest; selected->count(priority); --priority) {
            }
        } else {
            priority = largest + 1;
        }
    }
    selected->emplace(priority, std::move(callback));
    return 0;
}

void MSRPEditingCallbackHandler::mark(MSRPMarker& marker) const {
    for (const auto& [priority, callback] : edit_) marker.markValue(callback);
    for (const auto& [priority, callback] : create_) marker.markValue(callback);
}
