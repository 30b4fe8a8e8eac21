#pragma once

#include <memory>
#include <optional>
#include <string>

#include "analytics/model/MSRValue.h"

// The screen-view reporter as the facade sees it: "screen_view" events go to
// it instead of the engine, and it adds the current screen to other events.
// Without one registered (MSRComponentRegistry), "screen_view" events are
// dropped and no screen parameters are added.
class MSRScreenViewReporterInterface {
public:
    virtual ~MSRScreenViewReporterInterface() = default;

    // The registered reporter, or none.
    static std::shared_ptr<MSRScreenViewReporterInterface> shared();

    virtual void trackScreenWithParameters(const MSRObjectDictionary& parameters, double timestamp) = 0;
    virtual std::optional<MSRParameters> screenParameters() = 0;
    virtual void setScreenName(const std::optional<std::string>& screenName,
                               const std::optional<std::string>& screenClass) = 0;
    // The application is in the foreground (from each did-become-active to
    // the next entry into the background). Any thread.
    virtual bool isAppActive() = 0;
};
