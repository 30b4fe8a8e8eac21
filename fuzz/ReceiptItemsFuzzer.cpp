// The application's receipt file, scanned for its purchase items.

#include <cstddef>
#include <cstdint>
#include <span>

#include "analytics/reporters/MSRReceiptReading.h"
#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRMonitor.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The scanner's warnings go to a monitor whose sampling draws no random
    // bytes: the system's generator keeps buffers for the process that the
    // leak check at the end would count.
    MSRMonitorEnvironment environment;
    environment.randomUniform = [](uint32_t) { return 1u; };
    MSRMonitor::setShared(MSRMonitor::initWithLibraryVersion(kMSRLibraryVersion, std::move(environment)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)MSRInAppPurchaseItemsFromReceiptData(std::span<const uint8_t>(data, size));
    return 0;
}
