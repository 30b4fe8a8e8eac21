#include "platform/foundation/PropertyListCharge.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

#include "platform/foundation/PropertyList.h"

namespace foundation {
namespace {

std::atomic<uint64_t> propertyListChargeValues{kMaximumPropertyListValues};
std::atomic<uint64_t> propertyListChargeBytes{kMaximumPropertyListBytes};
thread_local std::optional<PropertyListBounds> propertyListThreadBounds;

uint64_t decimalLength(int64_t value) {
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    uint64_t digits = 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        ++digits;
    }
    return digits + (value < 0 ? 1 : 0);
}

// The writer's text of a real: 17 significant digits, "0.0" for either zero,
// "+infinity", "-infinity" and "nan".
uint64_t realLength(double value) {
    char text[40];
    return plistxml::realText(value, text);
}

}  // namespace

PropertyListBounds propertyListBounds() {
    PropertyListBounds bounds{propertyListChargeValues.load(), propertyListChargeBytes.load()};
    // A file held to what its owner writes there.
    if (const auto& file = propertyListThreadBounds) {
        bounds.values = std::min(bounds.values, file->values);
        bounds.bytes = std::min(bounds.bytes, file->bytes);
    }
    return bounds;
}

PropertyListBoundsScope::PropertyListBoundsScope(const std::optional<PropertyListBounds>& bounds)
    : previous_(propertyListThreadBounds) {
    if (bounds) propertyListThreadBounds = bounds;
}

PropertyListBoundsScope::~PropertyListBoundsScope() {
    propertyListThreadBounds = previous_;
}

std::optional<PropertyListBounds> propertyListScopeBounds() {
    return propertyListThreadBounds;
}

PropertyListBoundsForTesting::PropertyListBoundsForTesting(PropertyListBounds bounds)
    : previous_{propertyListChargeValues.load(), propertyListChargeBytes.load()} {
    propertyListChargeValues = bounds.values;
    propertyListChargeBytes = bounds.bytes;
}

PropertyListBoundsForTesting::~PropertyListBoundsForTesting() {
    propertyListChargeValues = previous_.values;
    propertyListChargeBytes = previous_.bytes;
}

namespace plistxml {

size_t realText(double value, char (&text)[40]) {
    int n = 0;
    if (std::isnan(value)) n = std::snprintf(text, sizeof text, "nan");
    else if (std::isinf(value)) n = std::snprintf(text, sizeof text, "%cinfinity", value > 0 ? '+' : '-');
    else if (value == 0) n = std::snprintf(text, sizeof text, "0.0");
    else n = std::snprintf(text, sizeof text, "%.17g", value);
    const size_t length = n > 0 ? static_cast<size_t>(n) : 0;
    // A decimal comma of the locale is written as a point.
    for (size_t i = 0; i < length && text[i] != '.'; ++i) {
        if (text[i] == ',') {
            text[i] = '.';
            break;
        }
    }
    return length;
}

uint64_t fileBytes() {
    return kFileHead.size() + kFileTail.size();
}

uint64_t escapedLength(std::string_view text) {
    uint64_t length = text.size();
    for (char c : text) length += c == '&' ? 4 : (c == '<' || c == '>') ? 3 : 0;
    return length;
}

// <string>text</string>
uint64_t stringBytes(uint64_t depth, uint64_t escaped) {
    return depth + 8 + escaped + 9 + 1;
}

// <key>text</key>
uint64_t keyBytes(uint64_t depth, uint64_t escaped) {
    return depth + 5 + escaped + 6 + 1;
}

// <data>, the base64 lines, </data>. The lines are indented at most 8 tabs
// deep and hold 76 characters less 8 for each tab.
uint64_t dataBytes(uint64_t depth, uint64_t length) {
    const uint64_t base64 = (length + 2) / 3 * 4;
    const uint64_t indent = depth < 8 ? depth : 8;
    const uint64_t width = 76 - 8 * indent;
    const uint64_t lines = (base64 + width - 1) / width;
    return depth + 7 + lines * (indent + 1) + base64 + depth + 8;
}

// <array/> or <array> ... </array>; <dict/> or <dict> ... </dict>.
uint64_t containerBytes(uint64_t depth, bool empty, bool dictionary) {
    const uint64_t name = dictionary ? 4 : 5;
    if (empty) return depth + name + 4;
    return depth + name + 3 + depth + name + 4;
}

uint64_t scalarBytes(uint64_t depth, const Value& value) {
    switch (value.type()) {
        case Value::Type::Bool:
            return depth + (*value.boolValue() ? 7 : 8) + 1;
        case Value::Type::Integer:
            return depth + 9 +
                   (value.unsignedPastInt64() ? std::to_string(*value.unsignedPastInt64()).size()
                                              : decimalLength(*value.integerValue())) +
                   10 + 1;
        case Value::Type::Double:
            return depth + 6 + realLength(*value.doubleValue()) + 7 + 1;
        case Value::Type::Date:
            return depth + 6 + 20 + 7 + 1;
        default:
            return depth + 64;
    }
}

}  // namespace plistxml

double propertyListDate(double since2001) {
    // Property-list dates count from 2001-01-01 00:00 UTC.
    constexpr double kSince1970 = 978307200.0;
    constexpr double kLeast = -2147483647.0, kLatest = 2147483647.0;
    if (std::isnan(since2001)) return kLeast + kSince1970;
    return std::clamp(std::floor(since2001), kLeast, kLatest) + kSince1970;
}

PropertyListCharge::PropertyListCharge(PropertyListRefusal* refusal)
    : PropertyListCharge(refusal, propertyListBounds()) {}

PropertyListCharge::PropertyListCharge(PropertyListRefusal* refusal, PropertyListBounds bounds)
    : refusal_(refusal), bounds_(bounds), bytes_(plistxml::fileBytes()) {}

namespace {
thread_local PropertyListReadCount propertyListChargeCount;
}  // namespace

PropertyListReadCount propertyListReadCountForTesting() {
    return propertyListChargeCount;
}

void propertyListNoteTextScanned(uint64_t bytes) {
    propertyListChargeCount.textBytesScanned += bytes;
}

PropertyListBounds PropertyListCharge::left() const {
    return {values_ < bounds_.values ? bounds_.values - values_ : 0, bytes_ < bounds_.bytes ? bounds_.bytes - bytes_ : 0};
}

bool PropertyListCharge::mayTake(uint64_t values, uint64_t bytes) {
    const PropertyListBounds free = left();
    if (values <= free.values && bytes <= free.bytes) return true;
    PropertyListCharge past = *this;
    past.countingOnly_ = true;
    past.values_ += values;
    past.bytes_ += bytes;
    return past.refuseIfPast();
}

bool PropertyListCharge::take(uint64_t values, uint64_t bytes) {
    values_ += values;
    bytes_ += bytes;
    taken_.values += values;
    taken_.bytes += bytes;
    if (values_ <= bounds_.values && bytes_ <= bounds_.bytes) [[likely]]
        return true;
    return refuseIfPast();
}

PropertyListCharge::~PropertyListCharge() {
    if (!countingOnly_) propertyListChargeCount.valuesBuilt += taken_.values;
    propertyListChargeCount.bytesWalked += taken_.bytes;
}

bool PropertyListCharge::refuseIfPast() {
    if (values_ > bounds_.values) {
        refusal_->pastBounds = true;
        refusal_->why = "more than " + std::to_string(bounds_.values) + " values";
        return false;
    }
    if (bytes_ > bounds_.bytes) {
        refusal_->pastBounds = true;
        refusal_->why = "more than " + std::to_string(bounds_.bytes) + " bytes in the XML form";
        return false;
    }
    return true;
}

bool PropertyListCharge::mayNest(uint64_t depth) {
    if (depth < static_cast<uint64_t>(kMaximumNestingDepth)) return true;
    refusal_->pastBounds = true;
    refusal_->why = "nesting deeper than " + std::to_string(kMaximumNestingDepth) + " levels";
    return false;
}

}  // namespace foundation
