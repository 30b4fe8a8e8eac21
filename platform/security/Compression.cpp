#include "platform/security/Compression.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <utility>

namespace security {

namespace {

void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

// zlib counts in uInt; feed it in slices that fit.
constexpr size_t kSlice = 1u << 30;

// Every byte inflated in the process (Inflater::inflatedInProcessForTesting).
std::atomic<uint64_t> inflatedInProcess{0};

// A zlib stream set up once and kept for the thread's life: reset between
// uses, ended when the thread ends. Null when zlib could not set it up.
class KeptStream {
  public:
    explicit KeptStream(bool compressor, int level = Z_DEFAULT_COMPRESSION) : compressor_(compressor) {
        // 15 window bits + 16 asks for the gzip wrapper; + 32 accepts either
        // the gzip or the zlib wrapper when inflating.
        ready_ = compressor ? deflateInit2(&stream_, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK
                            : inflateInit2(&stream_, 15 + 32) == Z_OK;
    }
    ~KeptStream() {
        if (!ready_) return;
        if (compressor_) {
            deflateEnd(&stream_);
        } else {
            inflateEnd(&stream_);
        }
    }
    KeptStream(const KeptStream&) = delete;
    KeptStream& operator=(const KeptStream&) = delete;

    z_stream* stream() { return ready_ ? &stream_ : nullptr; }

  private:
    z_stream stream_{};
    bool compressor_;
    bool ready_ = false;
};

KeptStream& smallDeflater() {
    thread_local KeptStream stream(true, Z_DEFAULT_COMPRESSION);
    return stream;
}
KeptStream& fastDeflater() {
    thread_local KeptStream stream(true, Z_BEST_SPEED);
    return stream;
}
KeptStream& inflater() {
    thread_local KeptStream stream(false);
    return stream;
}

// Where to start the output: a gzip stream ends with its inflated length
// (modulo 2^32), which is trusted only as far as deflate can expand at all
// (about 1032 to 1), so a forged trailer cannot make a small input reserve
// much memory.
// The most deflate can expand: a 258-byte match in two bits.
constexpr size_t kMostInflationRatio = 1032;

size_t expectedInflatedSize(const std::vector<uint8_t>& data) {
    size_t guess = std::max<size_t>(data.size() * 4, 1024);
    if (!isGzip(data) || data.size() < 18) return guess;
    const uint8_t* end = data.data() + data.size();
    const size_t stated = size_t{end[-4]} | size_t{end[-3]} << 8 | size_t{end[-2]} << 16 | size_t{end[-1]} << 24;
    return stated > 0 && stated <= data.size() * kMostInflationRatio ? stated : guess;
}

}  // namespace

bool isGzip(const std::vector<uint8_t>& data) { return data.size() >= 2 && data[0] == 0x1f && data[1] == 0x8b; }

std::optional<std::vector<uint8_t>> gzip(const std::vector<uint8_t>& data, std::string* error, GzipEffort effort) {
    if (data.empty()) {
        setError(error, "nothing to compress");
        return std::nullopt;
    }
    // Setting a compressor up costs about as much as compressing a queued
    // bundle, so each thread keeps one per effort and only resets it.
    z_stream* stream = effort == GzipEffort::kFastest ? fastDeflater().stream() : smallDeflater().stream();
    if (!stream || deflateReset(stream) != Z_OK) {
        setError(error, "cannot start the compressor");
        return std::nullopt;
    }
    std::vector<uint8_t> out(deflateBound(stream, static_cast<uLong>(std::min(data.size(), kSlice))) + 64);
    size_t consumed = 0;
    size_t produced = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        size_t slice = std::min(data.size() - consumed, kSlice);
        stream->next_in = const_cast<Bytef*>(data.data() + consumed);
        stream->avail_in = static_cast<uInt>(slice);
        bool last = consumed + slice == data.size();
        do {
            if (produced == out.size()) out.resize(out.size() * 2);
            stream->next_out = out.data() + produced;
            stream->avail_out = static_cast<uInt>(std::min(out.size() - produced, kSlice));
            size_t before = stream->avail_out;
            status = deflate(stream, last ? Z_FINISH : Z_NO_FLUSH);
            produced += before - stream->avail_out;
            if (status == Z_STREAM_ERROR) {
                setError(error, "compression failed");
                return std::nullopt;
            }
        } while (stream->avail_out == 0 || (last && status != Z_STREAM_END));
        consumed += slice - stream->avail_in;
    }
    out.resize(produced);
    if (out.empty()) {
        setError(error, "compression produced nothing");
        return std::nullopt;
    }
    return out;
}

std::optional<std::vector<uint8_t>> inflate(const std::vector<uint8_t>& data, std::string* error, size_t maxOutput) {
    if (data.empty()) {
        setError(error, "nothing to inflate");
        return std::nullopt;
    }
    z_stream* stream = inflater().stream();
    if (!stream || inflateReset(stream) != Z_OK) {
        setError(error, "cannot start the decompressor");
        return std::nullopt;
    }
    // One byte over the limit tells a stream of exactly `maxOutput` bytes,
    // whose end zlib reports only on the call after the output filled, from
    // one that is too large; likewise one byte over the expected length lets
    // the last call see the end without growing the output.
    const size_t limit = maxOutput == SIZE_MAX ? maxOutput : maxOutput + 1;
    std::vector<uint8_t> out(std::min(limit, expectedInflatedSize(data) + 1));
    size_t consumed = 0;
    size_t produced = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (produced == out.size()) {
            if (out.size() >= limit) {
                setError(error, "inflated data too large");
                return std::nullopt;
            }
            out.resize(std::min(limit, out.size() * 2));
        }
        size_t slice = std::min(data.size() - consumed, kSlice);
        stream->next_in = const_cast<Bytef*>(data.data() + consumed);
        stream->avail_in = static_cast<uInt>(slice);
        stream->next_out = out.data() + produced;
        stream->avail_out = static_cast<uInt>(std::min(out.size() - produced, kSlice));
        size_t before = stream->avail_out;
        status = ::inflate(stream, Z_NO_FLUSH);
        produced += before - stream->avail_out;
        Inflater::countInflated(before - stream->avail_out);
        consumed += slice - stream->avail_in;
        if (status == Z_BUF_ERROR && stream->avail_out != 0) {
            // No progress possible with output room left: the input ended early.
            setError(error, "truncated compressed data");
            return std::nullopt;
        }
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            setError(error, stream->msg ? stream->msg : "corrupt compressed data");
            return std::nullopt;
        }
    }
    if (produced > maxOutput) {
        setError(error, "inflated data too large");
        return std::nullopt;
    }
    out.resize(produced);
    if (out.empty()) {
        setError(error, "inflated data is empty");
        return std::nullopt;
    }
    return out;
}

bool inflatesPast(const std::vector<uint8_t>& data, size_t maxOutput) {
    // Too short to expand that far: nothing needs inflating to know it.
    if (data.size() <= maxOutput / kMostInflationRatio) return false;
    z_stream* stream = inflater().stream();
    if (!stream || inflateReset(stream) != Z_OK) return false;
    // Each piece of output is counted and let go.
    thread_local std::vector<uint8_t> scratch(size_t{64} << 10);
    size_t consumed = 0;
    size_t produced = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END && produced <= maxOutput) {
        size_t slice = std::min(data.size() - consumed, kSlice);
        stream->next_in = const_cast<Bytef*>(data.data() + consumed);
        stream->avail_in = static_cast<uInt>(slice);
        stream->next_out = scratch.data();
        stream->avail_out = static_cast<uInt>(scratch.size());
        status = ::inflate(stream, Z_NO_FLUSH);
        produced += scratch.size() - stream->avail_out;
        Inflater::countInflated(scratch.size() - stream->avail_out);
        consumed += slice - stream->avail_in;
        const bool stalled = status == Z_BUF_ERROR && stream->avail_out != 0;
        if (stalled || (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)) break;
    }
    return produced > maxOutput;
}

Inflater::Inflater(size_t maxOutput, size_t expectedOutput) : maxOutput_(maxOutput) {
    auto* stream = new z_stream{};
    if (inflateInit2(stream, 15 + 32) != Z_OK) {
        delete stream;
        fail(State::kFailed, "cannot start the decompressor");
        return;
    }
    stream_ = stream;
    // One byte over the limit tells a stream of exactly `maxOutput` bytes
    // from a larger one, as inflate() does.
    const size_t limit = maxOutput == SIZE_MAX ? maxOutput : maxOutput + 1;
    out_.resize(std::min(limit, std::max<size_t>(expectedOutput + 1, size_t{64} << 10)));
}

Inflater Inflater::counting(size_t maxOutput) {
    Inflater inflater(maxOutput, 0);
    inflater.counting_ = true;
    inflater.out_.resize(std::min(inflater.out_.size(), size_t{64} << 10));
    return inflater;
}

Inflater::Inflater(Inflater&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      maxOutput_(other.maxOutput_),
      produced_(other.produced_),
      counting_(other.counting_),
      out_(std::move(other.out_)),
      state_(other.state_),
      error_(std::move(other.error_)) {}

Inflater::~Inflater() {
    if (!stream_) return;
    auto* stream = static_cast<z_stream*>(stream_);
    inflateEnd(stream);
    delete stream;
}

uint64_t Inflater::inflatedInProcessForTesting() { return inflatedInProcess.load(std::memory_order_relaxed); }

void Inflater::countInflated(size_t bytes) { inflatedInProcess.fetch_add(bytes, std::memory_order_relaxed); }

size_t Inflater::expectedSize(size_t compressedSize, size_t statedSize) {
    return statedSize > 0 && statedSize <= compressedSize * kMostInflationRatio ? statedSize : compressedSize * 4;
}

Inflater::State Inflater::fail(State state, std::string error) {
    state_ = state;
    error_ = std::move(error);
    out_ = {};
    return state_;
}

Inflater::State Inflater::feed(const uint8_t* data, size_t size) {
    auto* stream = static_cast<z_stream*>(stream_);
    const size_t limit = maxOutput_ == SIZE_MAX ? maxOutput_ : maxOutput_ + 1;
    size_t consumed = 0;
    while (state_ == State::kMore && consumed < size) {
        // Counting, each piece of output is let go as soon as it is counted.
        const size_t at = counting_ ? 0 : produced_;
        if (!counting_ && produced_ == out_.size()) {
            if (out_.size() >= limit) return fail(State::kTooLarge, "inflated data too large");
            out_.resize(std::min(limit, out_.size() * 2));
        }
        const size_t slice = std::min(size - consumed, kSlice);
        stream->next_in = const_cast<Bytef*>(data + consumed);
        stream->avail_in = static_cast<uInt>(slice);
        stream->next_out = out_.data() + at;
        stream->avail_out = static_cast<uInt>(std::min(out_.size() - at, kSlice));
        const size_t before = stream->avail_out;
        const int status = ::inflate(stream, Z_NO_FLUSH);
        produced_ += before - stream->avail_out;
        Inflater::countInflated(before - stream->avail_out);
        consumed += slice - stream->avail_in;
        if (produced_ > maxOutput_) return fail(State::kTooLarge, "inflated data too large");
        if (status == Z_STREAM_END) {
            state_ = State::kDone;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            return fail(State::kFailed, stream->msg ? stream->msg : "corrupt compressed data");
        }
    }
    return state_;
}

Inflater::State Inflater::finish() {
    if (state_ == State::kMore) return fail(State::kFailed, "truncated compressed data");
    if (state_ != State::kDone) return state_;
    if (counting_) {
        out_ = {};
        if (produced_ == 0) return fail(State::kFailed, "inflated data is empty");
        return state_;
    }
    out_.resize(produced_);
    if (out_.empty()) return fail(State::kFailed, "inflated data is empty");
    return state_;
}

}  // namespace security
