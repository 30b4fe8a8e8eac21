#include "platform/security/Compression.h"

#include <zlib.h>

#include <cstring>

namespace security {

namespace {

void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

// zlib counts in uInt; feed it in slices that fit.
constexpr size_t kSlice = 1u << 30;

}  // namespace

bool isGzip(const std::vector<uint8_t>& data) { return data.size() >= 2 && data[0] == 0x1f && data[1] == 0x8b; }

std::optional<std::vector<uint8_t>> gzip(const std::vector<uint8_t>& data, std::string* error, GzipEffort effort) {
    if (data.empty()) {
        setError(error, "nothing to compress");
        return std::nullopt;
    }
    z_stream stream{};
    // 15 window bits + 16 asks zlib for the gzip wrapper instead of the zlib one.
    const int level = effort == GzipEffort::kFastest ? Z_BEST_SPEED : Z_DEFAULT_COMPRESSION;
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        setError(error, "cannot start the compressor");
        return std::nullopt;
    }
    std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(std::min(data.size(), kSlice))) + 64);
    size_t consumed = 0;
    size_t produced = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        size_t slice = std::min(data.size() - consumed, kSlice);
        stream.next_in = const_cast<Bytef*>(data.data() + consumed);
        stream.avail_in = static_cast<uInt>(slice);
        bool last = consumed + slice == data.size();
        do {
            if (produced == out.size()) out.resize(out.size() * 2);
            stream.next_out = out.data() + produced;
            stream.avail_out = static_cast<uInt>(std::min(out.size() - produced, kSlice));
            size_t before = stream.avail_out;
            status = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            produced += before - stream.avail_out;
            if (status == Z_STREAM_ERROR) {
                deflateEnd(&stream);
                setError(error, "compression failed");
                return std::nullopt;
            }
        } while (stream.avail_out == 0 || (last && status != Z_STREAM_END));
        consumed += slice - stream.avail_in;
    }
    deflateEnd(&stream);
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
    z_stream stream{};
    // 15 window bits + 32: accept either the gzip or the zlib wrapper.
    if (inflateInit2(&stream, 15 + 32) != Z_OK) {
        setError(error, "cannot start the decompressor");
        return std::nullopt;
    }
    std::vector<uint8_t> out(std::min(maxOutput, std::max<size_t>(data.size() * 4, 1024)));
    size_t consumed = 0;
    size_t produced = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (produced == out.size()) {
            if (out.size() >= maxOutput) {
                inflateEnd(&stream);
                setError(error, "inflated data too large");
                return std::nullopt;
            }
            out.resize(std::min(maxOutput, out.size() * 2));
        }
        size_t slice = std::min(data.size() - consumed, kSlice);
        stream.next_in = const_cast<Bytef*>(data.data() + consumed);
        stream.avail_in = static_cast<uInt>(slice);
        stream.next_out = out.data() + produced;
        stream.avail_out = static_cast<uInt>(std::min(out.size() - produced, kSlice));
        size_t before = stream.avail_out;
        status = ::inflate(&stream, Z_NO_FLUSH);
        produced += before - stream.avail_out;
        consumed += slice - stream.avail_in;
        if (status == Z_BUF_ERROR && stream.avail_out != 0) {
            // No progress possible with output room left: the input ended early.
            inflateEnd(&stream);
            setError(error, "truncated compressed data");
            return std::nullopt;
        }
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            std::string why = stream.msg ? stream.msg : "corrupt compressed data";
            inflateEnd(&stream);
            setError(error, why);
            return std::nullopt;
        }
    }
    inflateEnd(&stream);
    out.resize(produced);
    if (out.empty()) {
        setError(error, "inflated data is empty");
        return std::nullopt;
    }
    return out;
}

}  // namespace security
