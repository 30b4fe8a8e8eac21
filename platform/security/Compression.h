#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace security {

// gzip and inflate through zlib. Both answer nothing (and say why in `error`
// when given) on failure; an empty input or an empty result counts as failure,
// so callers never mistake "nothing" for a compressed or inflated payload.

// How hard the compressor works: the smallest output zlib's default level
// gives for what leaves the machine, or about three times the speed for what
// is stored for a while and read back here.
enum class GzipEffort { kSmallest, kFastest };

// Compresses into the gzip format (header, deflate stream, CRC-32 trailer).
std::optional<std::vector<uint8_t>> gzip(const std::vector<uint8_t>& data, std::string* error = nullptr,
                                         GzipEffort effort = GzipEffort::kSmallest);

// Inflates a gzip or zlib stream (the header tells which). Output beyond
// `maxOutput` bytes is refused, so that a hostile answer cannot exhaust memory.
std::optional<std::vector<uint8_t>> inflate(const std::vector<uint8_t>& data, std::string* error = nullptr,
                                            size_t maxOutput = size_t{256} << 20);

// True when inflating `data` would give more than `maxOutput` bytes, found
// without holding them: what a stored row inflates to is sized before it is
// inflated. A stream that fails before passing `maxOutput` is not past it.
bool inflatesPast(const std::vector<uint8_t>& data, size_t maxOutput);

// True when `data` starts with the gzip magic bytes.
bool isGzip(const std::vector<uint8_t>& data);

}  // namespace security
