#include "analytics/interpreter/MSRPText.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "analytics/interpreter/MSRPRuntimeValue.h"

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

uint64_t MSRPText::hashOf(std::string_view bytes) {
    if (bytes.size() > kUnchargedBytes && !MSRPWork::charge(static_cast<int64_t>(bytes.size()))) return 0;
    return std::hash<std::string_view>()(bytes);
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
    return body_->hash_;
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
