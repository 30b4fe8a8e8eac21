#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/model/MSRValue.h"

// One screen as the reporters know it: what the user saw, with the 64-bit
// instance id that ties events to it.
struct MSRScreen {
    std::optional<std::string> name;  // none for automatically tracked screens
    std::optional<std::string> className;
    int64_t instanceID = 0;
    bool isManuallySet = false;      // named with setScreenName
    bool isManuallyTracked = false;  // made from a "screen_view" event
    double eventTimestamp = 0;       // seconds since 1970, manually tracked screens only

    // A new record with name, class and id; the flags and the time stay behind.
    std::shared_ptr<MSRScreen> copy() const {
        auto screen = std::make_shared<MSRScreen>();
        screen->name = name;
        screen->className = className;
        screen->instanceID = instanceID;
        return screen;
    }
};

// "_si" always; "_sc" for a valid class (an empty or invalid one is logged and
// leaves only "_si"); "_sn" for a valid name.
MSRParameters MSRScreenEventParameters(const MSRScreen& screen);
// "_pi" always, "_pc" and "_pn" when valid (nothing logged).
MSRParameters MSRPreviousScreenEventParameters(const MSRScreen& screen);
