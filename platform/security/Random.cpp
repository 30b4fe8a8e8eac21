#include "platform/security/Random.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace security {

namespace {

class SecureSource : public RandomSource {
public:
    bool fill(uint8_t* out, size_t length) override {
        uint8_t* const start = out;
        const size_t whole = length;
        while (length > 0) {
            int slice = static_cast<int>(std::min<size_t>(length, INT_MAX));
            // OpenSSL seeds through getrandom(2) here: where a sandbox's
            // filter refuses that call, its generator never starts, and every
            // identifier made of its bytes would be the same zeros on every
            // device. The device gives what the call would have.
            if (RAND_bytes(out, slice) != 1) return readRandomDevice("/dev/urandom", start, whole);
            out += slice;
            length -= static_cast<size_t>(slice);
        }
        return true;
    }
};

std::atomic<RandomSource*> gSource{nullptr};

RandomSource& source() {
    static SecureSource secure;
    RandomSource* installed = gSource.load(std::memory_order_acquire);
    return installed ? *installed : secure;
}

}  // namespace

bool readRandomDevice(const std::string& device, uint8_t* out, size_t length) {
    const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t have = 0;
    while (have < length) {
        const ssize_t got = ::read(fd, out + have, length - have);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        have += static_cast<size_t>(got);
    }
    ::close(fd);
    return have == length;
}

void setRandomSource(RandomSource* source) { gSource.store(source, std::memory_order_release); }

bool randomBytes(uint8_t* out, size_t length) {
    if (length == 0) return true;
    if (source().fill(out, length)) return true;
    std::memset(out, 0, length);
    return false;
}

std::optional<std::vector<uint8_t>> randomBytes(size_t length) {
    std::vector<uint8_t> bytes(length);
    if (!randomBytes(bytes.data(), length)) return std::nullopt;
    return bytes;
}

uint32_t randomUniform(uint32_t upperBound) {
    if (upperBound < 2) return 0;
    // Values below `floor` would make the low residues more likely; draw again.
    uint32_t floor = (0u - upperBound) % upperBound;
    for (;;) {
        uint32_t value = 0;
        if (!randomBytes(reinterpret_cast<uint8_t*>(&value), sizeof value)) return 0;
        if (value >= floor) return value % upperBound;
    }
}

std::optional<int64_t> randomInt64() {
    int64_t value = 0;
    if (!randomBytes(reinterpret_cast<uint8_t*>(&value), sizeof value)) return std::nullopt;
    return value;
}

ScriptedRandomSource::ScriptedRandomSource(std::vector<uint8_t> bytes, bool repeatLast)
    : bytes_(bytes.begin(), bytes.end()), repeatLast_(repeatLast) {}

void ScriptedRandomSource::append(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void ScriptedRandomSource::append32(uint32_t value) {
    uint8_t raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    append(std::vector<uint8_t>(raw, raw + sizeof value));
}

void ScriptedRandomSource::setFailing(bool failing) {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_ = failing;
}

bool ScriptedRandomSource::fill(uint8_t* out, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failing_) return false;
    if (bytes_.size() < length && !(repeatLast_ && (last_ || !bytes_.empty()))) return false;
    for (size_t i = 0; i < length; ++i) {
        if (!bytes_.empty()) {
            last_ = bytes_.front();
            bytes_.pop_front();
        }
        out[i] = *last_;
    }
    return true;
}

}  // namespace security
