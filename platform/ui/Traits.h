#pragma once

#include <string>

#include "platform/ui/Geometry.h"

namespace ui {

enum class InterfaceStyle { unspecified = 0, light = 1, dark = 2 };
enum class UserInterfaceIdiom { phone = 1, pad = 2 };

// The device the headless platform pretends to be.
struct DeviceProfile {
    std::string name;
    Size screenSize;
    EdgeInsets safeAreaInsets;
    UserInterfaceIdiom idiom = UserInterfaceIdiom::phone;

    // A phone of 390×844 points with a 47-point top and 34-point bottom inset.
    static DeviceProfile phone();
    // A phone of 375×667 points without a bottom inset.
    static DeviceProfile phoneWithoutInsets();
    // A tablet of 820×1180 points.
    static DeviceProfile pad();
};

// The traits in force now. The interface style is read by every caller at the
// moment it applies a colour or a shadow; changing it later re-colours nothing.
class TraitCollection {
  public:
    static InterfaceStyle userInterfaceStyle();
    static void setUserInterfaceStyle(InterfaceStyle style);
    static bool isDark() { return userInterfaceStyle() == InterfaceStyle::dark; }

    static const DeviceProfile& device();
    static void setDevice(const DeviceProfile& profile);
    static UserInterfaceIdiom idiom() { return device().idiom; }

    // Back to a light phone (for tests).
    static void reset();
};

// The main screen of the current device.
struct Screen {
    static Rect bounds();
};

}  // namespace ui
