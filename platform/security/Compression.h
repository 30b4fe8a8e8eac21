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

// Inflates a gzip or zlib stream handed over in pieces, as a stored row is
// read from its file: neither the whole input nor more than `maxOutput`
// bytes of output are ever held. `expectedOutput` sizes the output up front
// (a gzip trailer's length, trusted only as far as deflate can expand).
class Inflater {
  public:
    enum class State { kMore, kDone, kTooLarge, kFailed };
    explicit Inflater(size_t maxOutput, size_t expectedOutput = 0);
    // Counts the output without holding it (output() stays empty): whether
    // a stream passes `maxOutput`, found in a small buffer.
    static Inflater counting(size_t maxOutput);
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    Inflater(Inflater&& other) noexcept;

    // Takes the next piece of input; once the state is no longer kMore the
    // rest of the input is not needed (what follows a stream's end is not read).
    State feed(const uint8_t* data, size_t size);
    // After the last piece: a stream that did not end, or ended with nothing,
    // has failed.
    State finish();
    State state() const { return state_; }
    const std::string& error() const { return error_; }
    // The output so far (the whole of it once kDone).
    std::vector<uint8_t>& output() { return out_; }

    // What a gzip stream of `compressedSize` bytes whose trailer states
    // `statedSize` may be expected to inflate to.
    static size_t expectedSize(size_t compressedSize, size_t statedSize);

    // Every byte any inflater of the process has produced so far, held or
    // only counted: what a bounded pass really inflated, whatever it charged.
    static uint64_t inflatedInProcessForTesting();
    // What an inflation that drives zlib itself produced (the queue's walk
    // as it inflates), so that the count above holds every byte.
    static void countInflated(size_t bytes);

  private:
    State fail(State state, std::string error);

    void* stream_ = nullptr;
    size_t maxOutput_;
    size_t produced_ = 0;
    bool counting_ = false;
    std::vector<uint8_t> out_;
    State state_ = State::kMore;
    std::string error_;
};

// True when `data` starts with the gzip magic bytes.
bool isGzip(const std::vector<uint8_t>& data);

}  // namespace security
