#pragma once

#include <string>

#include "platform/foundation/Value.h"

namespace ui {
class ViewController;
}
class MSRAdExposureReporter;
class MSRScreenViewReporter;

// The reporters under the public prefix, for the host's frameworks.
using DEDAScreenViewReporter = MSRScreenViewReporter;
using DEDAAdExposureReporter = MSRAdExposureReporter;

// Plugs the engine's own reporters into it: the session reporter through the
// component registry, the screen-view reporter as the facade's screen
// reporter (it then follows the application's activity), and, unless the
// bundle switches automatic screen reporting off, the hooks that show it
// every controller appearing and disappearing. Called once from the
// application's start, before the host is configured.
void MSRRegisterReporters();

// The decoration that logs "screen_view" each time a view comes on screen,
// for screens that name themselves: the extra parameters with "screen_name"
// and "screen_class" set to the given ones.
struct LoggedAnalyticsModifier {
    std::string screenName;
    std::string screenClass;
    foundation::Value::Dictionary extraParameters;
};

// Decorates `controller`: every appearance logs one "screen_view" through the
// public interface, for as long as the controller lives.
void logScreenOnAppear(ui::ViewController& controller, const std::string& name,
                       const std::string& screenClass,
                       const foundation::Value::Dictionary& extraParameters = {});
