#include "analytics/core/MSRBackwardCompatibilityUtil.h"

#include "platform/host/DEDClassRegistry.h"

// The older library registers its switch-off as its entry.
bool MSRBackwardCompatibilityUtil::disableZMRMeasurement() {
    auto entry = host::DEDClassRegistry::entryForClass("ZMRMeasurement");
    if (!entry) return false;
    (*entry)();
    return true;
}
