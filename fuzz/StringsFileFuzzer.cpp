// The bundle's localized .strings tables.

#include "fuzz/FuzzInput.h"
#include "platform/foundation/StringsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)foundation::parseStringsFile(fuzz::text(data, size));
    return 0;
}
