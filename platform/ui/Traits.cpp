#include "platform/ui/Traits.h"

#include <atomic>
#include <mutex>

namespace ui {
namespace {
std::atomic<InterfaceStyle> currentStyle{InterfaceStyle::light};
std::mutex deviceMutex;
DeviceProfile& currentDevice() {
    static DeviceProfile device = DeviceProfile::phone();
    return device;
}
}  // namespace

DeviceProfile DeviceProfile::phone() {
    return {"phone", {390, 844}, {47, 0, 34, 0}, UserInterfaceIdiom::phone};
}
DeviceProfile DeviceProfile::phoneWithoutInsets() {
    return {"phone-small", {375, 667}, {20, 0, 0, 0}, UserInterfaceIdiom::phone};
}
DeviceProfile DeviceProfile::pad() {
    return {"pad", {820, 1180}, {24, 0, 20, 0}, UserInterfaceIdiom::pad};
}

InterfaceStyle TraitCollection::userInterfaceStyle() {
    return currentStyle.load();
}
void TraitCollection::setUserInterfaceStyle(InterfaceStyle style) {
    currentStyle.store(style);
}

const DeviceProfile& TraitCollection::device() {
    std::lock_guard<std::mutex> lock(deviceMutex);
    return currentDevice();
}
void TraitCollection::setDevice(const DeviceProfile& profile) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    currentDevice() = profile;
}
void TraitCollection::reset() {
    setUserInterfaceStyle(InterfaceStyle::light);
    setDevice(DeviceProfile::phone());
}

Rect Screen::bounds() {
    Size size = TraitCollection::device().screenSize;
    return Rect(0, 0, size.width, size.height);
}

}  // namespace ui
