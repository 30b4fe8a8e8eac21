#include "analytics/interpreter/MSRPText.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "analytics/interpreter/MSRPRuntimeValue.h"
#include "platform/security/Random.h"

// The bytes count on the account through their allocator; the object itself here.
MSRPStringValue::MSRPStringValue(MSRPMemory::Text bytes)
    : MSRPRuntimeValue(MSRPValueKind::String), bytes_(std::move(bytes)) {
    MSRPMemory::add(static_cast<int64_t>(sizeof(*this)));
}

MSRPStringValue::~MSRPStringValue() { MSRPMemory::add(-static_cast<int64_t>(sizeof(*this))); }

std::u16string MSRPStringValue::utf16() const { return MSRPUTF16(value()); }

MSRPText MSRPText::make(std::string_view bytes) {
    // Charged before the copy: a run that cannot pay for it has stopped,
    // and what it makes then is dropped with it.
    if (bytes.size() > kUnchargedBytes && !MSRPWork::charge(static_cast<int64_t>(bytes.size()))) return MSRPText();
    return make(MSRPMemory::Text(bytes.data(), bytes.size()));
}

// Whoever built the bytes charged the writing as it went.
MSRPText MSRPText::make(MSRPMemory::Text&& bytes) { return MSRPText(new MSRPStringValue(std::move(bytes))); }

namespace {

// The process's hash key: 16 bytes from the operating system, drawn the
// first time a text is hashed. A process that cannot have them runs on
// without programs (MSRPText::hasHashKey).
struct HashKey {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
    bool drawn = false;
};

std::optional<MSRPText::HashKeySource>& hashKeySourceForTesting() {
    static std::optional<MSRPText::HashKeySource> source;
    return source;
}

const HashKey& hashKey() {
    static const HashKey key = [] {
        HashKey made;
        const std::optional<MSRPText::HashKeySource>& testing = hashKeySourceForTesting();
        if (auto words = MSRPText::drawHashKey(testing ? *testing : MSRPText::HashKeySource::system())) {
            made.k0 = (*words)[0];
            made.k1 = (*words)[1];
            made.drawn = true;
        }
        return made;
    }();
    return key;
}

std::atomic<bool> gHashesAlike{false};

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
};

// SipHash-1-3: one round per 8-byte word, three to finish.
uint64_t sipHash13(uint64_t k0, uint64_t k1, const unsigned char* bytes, size_t size) {
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    const size_t whole = size & ~size_t{7};
    for (size_t at = 0; at < whole; at += 8) {
        uint64_t m;
        std::memcpy(&m, bytes + at, 8);  // little-endian, as the machines we run on
        s.v3 ^= m;
        s.round();
        s.v0 ^= m;
    }
    uint64_t last = static_cast<uint64_t>(size) << 56;
    for (size_t i = 0; i < (size & 7); ++i) last |= static_cast<uint64_t>(bytes[whole + i]) << (8 * i);
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// What every text hashes to while hashes are alike.
constexpr uint64_t kAlikeHash = 0x5bd1e9955bd1e995ULL;

}  // namespace

MSRPText::HashKeySource MSRPText::HashKeySource::system() {
    return {[](void* buffer, size_t size) { return ::getrandom(buffer, size, 0); }, "/dev/urandom"};
}

std::optional<std::array<uint64_t, 2>> MSRPText::drawHashKey(const HashKeySource& source) {
    std::array<uint64_t, 2> words{};
    auto* out = reinterpret_cast<unsigned char*>(words.data());
    size_t have = 0;
    while (source.getrandom && have < sizeof(words)) {
        const ssize_t got = source.getrandom(out + have, sizeof(words) - have);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        have += static_cast<size_t>(got);
    }
    if (have == sizeof(words)) return words;
    // Whatever the call gave is dropped: the key is the device's whole.
    if (!source.device.empty() && security::readRandomDevice(source.device, out, sizeof(words))) return words;
    return std::nullopt;
}

bool MSRPText::hasHashKey() { return hashKey().drawn; }

void MSRPText::setHashKeySourceForTesting(HashKeySource source) { hashKeySourceForTesting() = std::move(source); }

void MSRPText::setHashesAlikeForTesting(bool alike) { gHashesAlike.store(alike, std::memory_order_relaxed); }

uint64_t MSRPText::hashOf(std::string_view bytes) {
    // Charged before it is computed; a stopped run's answer is any number,
    // which its tables never keep (they ask MSRPWork::stopped() first).
    if (bytes.size() > kUnchargedBytes && !MSRPWork::charge(static_cast<int64_t>(bytes.size()))) return 0;
    if (gHashesAlike.load(std::memory_order_relaxed)) return kAlikeHash;
    const HashKey& key = hashKey();
    return sipHash13(key.k0, key.k1, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

uint64_t MSRPText::hash() const {
    if (!body_) return hashOf({});
    if (!body_->hashed_) {
        const uint64_t hash = hashOf(view());
        // A stopped run's answer is not kept.
        if (MSRPWork::stopped()) return hash;
        body_->hash_ = hash;
        body_->hashed_ = true;
    }
    // Kept, and charged once, whichever way it is read.
    return gHashesAlike.load(std::memory_order_relaxed) ? kAlikeHash : body_->hash_;
}

MSRPStringValue* MSRPText::body() {
    if (!body_) body_ = MSRPRef<MSRPStringValue>(new MSRPStringValue(MSRPMemory::Text()));
    return body_.get();
}

bool operator==(const MSRPText& a, const MSRPText& b) {
    if (a.body_.get() == b.body_.get()) return true;
    if (a.size() != b.size()) return false;
    if (MSRPText::knownHashesDiffer(a, b)) return false;
    return MSRPTextsEqual(a.view(), b.view());
}

bool MSRPText::knownHashesDiffer(const MSRPText& a, const MSRPText& b) {
    // Kept hashes differ for texts that differ, whether or not they are read alike.
    return a.body_ && b.body_ && a.body_->hashed_ && b.body_->hashed_ && a.body_->hash_ != b.body_->hash_;
}

bool operator==(const MSRPText& a, std::string_view b) { return MSRPTextsEqual(a.view(), b); }

bool MSRPTextsEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.data() == b.data()) return true;
    if (a.size() <= MSRPText::kUnchargedBytes) return a == b;
    for (size_t at = 0; at < a.size(); at += MSRPWork::kChunk) {
        const size_t length = std::min(MSRPWork::kChunk, a.size() - at);
        if (!MSRPWork::charge(static_cast<int64_t>(length))) return false;
        if (std::memcmp(a.data() + at, b.data() + at, length) != 0) return false;
    }
    return true;
}

int MSRPCompareTexts(std::string_view a, std::string_view b) {
    const size_t common = std::min(a.size(), b.size());
    if (a.data() == b.data()) return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    for (size_t at = 0; at < common; at += MSRPWork::kChunk) {
        const size_t length = std::min(MSRPWork::kChunk, common - at);
        if (common > MSRPText::kUnchargedBytes && !MSRPWork::charge(static_cast<int64_t>(length))) return 0;
        if (int order = std::memcmp(a.data() + at, b.data() + at, length)) return order < 0 ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}
