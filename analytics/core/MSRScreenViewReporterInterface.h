#pragma once

#include <memory>
#include <optional>
#include <string>

#include "analytics/model/MSRValue.h"

namespace foundation {
class Bundle;
}

// The switch of automatic screen reporting in `bundle`'s Info.plist:
// "VuzedezoScreenReportingEnabled", else the older
// "VuzedezoAutomaticScreenReportingEnabled". A Boolean, a number or a text
// ("NO", "false", "0", "YES") is read as a Boolean; a missing key or any
// other value means on.
bool MSRIsScreenReportingEnabled(const foundation::Bundle& bundle);
// The switch read afresh in the main bundle, or in the bundle a test gave.
bool MSRIsScreenReportingEnabled();
void MSRSetScreenReportingBundle(std::shared_ptr<const foundation::Bundle> bundle);

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
