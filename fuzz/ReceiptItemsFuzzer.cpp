// The application's receipt file, scanned for its purchase items.

#include <cstddef>
#include <cstdint>
#include <span>

#include "analytics/reporters/MSRReceiptReading.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)MSRInAppPurchaseItemsFromReceiptData(std::span<const uint8_t>(data, size));
    return 0;
}
