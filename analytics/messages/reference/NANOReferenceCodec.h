#pragma once
// The wire codec driven through nanopb's own encoder and decoder: slower than
// the direct reader and writer (nested messages are sized by encoding them,
// every nested message gets a zeroed C structure), kept as the reference that
// tests, fuzz targets and benchmarks hold them to. The application does not
// link it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "analytics/messages/NANOMessageInfo.h"

// Decodes as NANOMessageInfoDecode must: same cells, same refusals.
bool NANOMessageInfoDecodeWithNanopb(NANOMessageInfo& info, const uint8_t* bytes, size_t length);
// Encodes to the bytes NANOMessageInfoEncode must write.
std::optional<std::vector<uint8_t>> NANOMessageInfoEncodeWithNanopb(const NANOMessageInfo& info);
