// Queued bundles are stored gzip-compressed and inflated for the upload: any
// stored blob must inflate or fail cleanly, within the output bound; what
// inflates must compress and inflate back to the same bytes.

#include <cstdlib>

#include "platform/security/Compression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> blob(data, data + size);
    (void)security::isGzip(blob);
    std::optional<std::vector<uint8_t>> inflated = security::inflate(blob, nullptr, size_t{1} << 20);
    if (!inflated) return 0;
    if (inflated->size() > (size_t{1} << 20)) std::abort();
    if (inflated->empty()) return 0;
    std::optional<std::vector<uint8_t>> again = security::gzip(*inflated);
    if (!again || security::inflate(*again) != inflated) std::abort();
    return 0;
}
