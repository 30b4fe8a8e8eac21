#pragma once

#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"

// The names of a bundle's events in order, "?" for an event without one.
inline std::vector<std::string> eventNamesOf(const NANOMessageBase& bundle) {
    std::vector<std::string> names;
    for (const MSRPBEvent& event : MSRPBGetMessageArray<MSRPBEvent>(bundle, MSRBundleSlot::kEvents))
        names.push_back(MSRPBGetString(event, MSREventSlot::kName).value_or("?"));
    return names;
}
