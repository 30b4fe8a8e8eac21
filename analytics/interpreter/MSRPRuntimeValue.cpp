#include "analytics/interpreter/MSRPRuntimeValue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_set>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPCommandTable.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPObjectValue.h"
#include "analytics/interpreter/MSRPPropertyMap.h"

// Under the engine's reverse-domain root (kMSRReverseDomainRoot).
const char* const MSRPErrorDomain = "app.calvaro.analytics.InterpreterErrorDomain";
const char* const MSRPEditingErrorDomain = "app.calvaro.analytics.EditingErrorDomain";

namespace {
// Texts up to this long are compared and converted without a charge: the
// evaluation that works on them pays for them.
constexpr size_t kUnchargedText = MSRPText::kUnchargedBytes;
}  // namespace

// Reference counting ---------------------------------------------------------

namespace {
thread_local bool tDestroying = false;
thread_local std::vector<MSRPRefCounted*> tPendingDestruction;
}  // namespace

void MSRPRefCounted::destroy(MSRPRefCounted* object) noexcept {
    // A value whose destructor releases the last reference of another only
    // queues it here, so freeing a chain of any length takes constant stack.
    if (tDestroying) {
        tPendingDestruction.push_back(object);
        return;
    }
    tDestroying = true;
    object->dispose();
    while (!tPendingDestruction.empty()) {
        MSRPRefCounted* next = tPendingDestruction.back();
        tPendingDestruction.pop_back();
        next->dispose();
    }
    tDestroying = false;
}

// Heap values ----------------------------------------------------------------

MSRPValue::MSRPValue(MSRPRuntimeValue* object) : kind_(MSRPValueKind::Undefined), number_(0) {
    if (!object) return;
    kind_ = object->kind();
    object_ = object;
    object->retain();
}


MSRPControlValue* MSRPControlValue::breakValue() {
    static MSRPControlValue* const value = [] {
        auto* made = new MSRPControlValue(Type::Break, MSRPValue());
        made->makePermanent();
        return made;
    }();
    return value;
}

MSRPControlValue* MSRPControlValue::continueValue() {
    static MSRPControlValue* const value = [] {
        auto* made = new MSRPControlValue(Type::Continue, MSRPValue());
        made->makePermanent();
        return made;
    }();
    return value;
}

namespace {
struct KeptReturnMarkers {
    std::vector<MSRPControlValue*> markers;
    ~KeptReturnMarkers() {
        for (MSRPControlValue* marker : markers) delete marker;
    }
};
thread_local KeptReturnMarkers tKeptReturns;
}  // namespace

MSRPRef<MSRPControlValue> MSRPControlValue::returnValueWithData(MSRPValue data) {
    if (tKeptReturns.markers.empty()) return MSRPRef<MSRPControlValue>::make(Type::Return, std::move(data));
    MSRPControlValue* marker = tKeptReturns.markers.back();
    tKeptReturns.markers.pop_back();
    marker->data_ = std::move(data);
    return MSRPRef<MSRPControlValue>(marker);
}

void MSRPControlValue::dispose() noexcept {
    if (type_ != Type::Return || tKeptReturns.markers.size() >= kMSRPKeptForReuse) {
        delete this;
        return;
    }
    // Only reached while disposing: what the data releases is freed after this.
    data_ = MSRPValue();
    setMarkEpoch(0);
    tKeptReturns.markers.push_back(this);
}

const char* MSRPControlValue::typeName() const {
    switch (type_) {
        case Type::Break: return "break";
        case Type::Continue: return "continue";
        case Type::Return: return "return";
    }
    return "";
}

MSRPStatementValue::MSRPStatementValue(MSRPText functionName, std::vector<MSRPValue> arguments)
    : MSRPRuntimeValue(MSRPValueKind::Statement),
      functionName_(std::move(functionName)),
      arguments_(std::move(arguments)),
      command_(MSRPCommandForKey(functionName_)),
      lookedUpName_(functionName_) {
    MSRPMemory::add(heldBytes());
    constexpr int kAssign = 3, kReadVariable = 15, kReadProperty = 16, kReadProperty17 = 17, kReturn = 36,
                  kWriteProperty = 43;
    const size_t count = arguments_.size();
    if (!command_) {
        shape_ = Shape::Call;
    } else if (command_->key == kReadVariable && count == 1 && arguments_[0].isString()) {
        shape_ = Shape::ReadName;
        lookedUpName_ = arguments_[0].sharedText();
    } else if (command_->key == kAssign && count == 2 && arguments_[0].isString()) {
        shape_ = Shape::AssignName;
        lookedUpName_ = arguments_[0].sharedText();
    } else if ((command_->key == kReadProperty || command_->key == kReadProperty17) && count == 2) {
        shape_ = Shape::ReadProperty;
    } else if (command_->key == kWriteProperty && count == 3) {
        shape_ = Shape::WriteProperty;
    } else if (command_->key == kReturn && count <= 1) {
        shape_ = Shape::Return;
    } else if (command_->mode != MSRPArgumentMode::Raw && count == 2 && MSRPIsNumberOperator(*command_)) {
        shape_ = Shape::Binary;
    } else if (command_->mode == MSRPArgumentMode::Evaluated && count <= 3) {
        shape_ = Shape::Evaluated;
    } else if (command_->mode == MSRPArgumentMode::CountedThenEvaluated && count == command_->count &&
               count <= 3) {
        shape_ = Shape::Evaluated;
    }
    nameBit_ = MSRPPropertyMap::nameBit(lookedUpName_);
    nameKey_ = MSRPPropertyMap::leadingKey(lookedUpName_);
}

MSRPStatementValue::~MSRPStatementValue() { MSRPMemory::add(-heldBytes()); }

// Conversions ----------------------------------------------------------------

MSRPText MSRPValue::stringValueOrError(int* error) const {
    switch (kind_) {
        case MSRPValueKind::Undefined: return MSRPText::make("undefined");
        case MSRPValueKind::Null: return MSRPText::make("null");
        case MSRPValueKind::Boolean: return MSRPText::make(boolean_ ? "true" : "false");
        case MSRPValueKind::Number: return MSRPText::make(MSRPNumberToString(number_));
        case MSRPValueKind::String: return sharedText();
        case MSRPValueKind::Map: return MSRPText::make("[object Object]");
        case MSRPValueKind::Array: return array()->stringValueWithSeparator(",", error);
        case MSRPValueKind::Function: return function()->functionName();
        case MSRPValueKind::Hole:
        case MSRPValueKind::Control:
        case MSRPValueKind::Statement: break;
    }
    MSRPSetError(error, MSRPErrorCode::kNoTextForm);
    return MSRPText();
}

double MSRPValue::doubleValueOrError(int* error) const {
    switch (kind_) {
        case MSRPValueKind::Undefined: return std::numeric_limits<double>::quiet_NaN();
        case MSRPValueKind::Null: return 0;
        case MSRPValueKind::Boolean: return boolean_ ? 1 : 0;
        case MSRPValueKind::Number: return number_;
        case MSRPValueKind::String: return MSRPStringToNumber(text());
        case MSRPValueKind::Map:
        case MSRPValueKind::Function: return std::numeric_limits<double>::quiet_NaN();
        case MSRPValueKind::Array: {
            int inner = 0;
            MSRPText joined = array()->stringValueWithSeparator(",", &inner);
            if (inner) {
                MSRPSetError(error, inner);
                return std::numeric_limits<double>::quiet_NaN();
            }
            return MSRPStringToNumber(joined);
        }
        case MSRPValueKind::Hole:
        case MSRPValueKind::Control:
        case MSRPValueKind::Statement: break;
    }
    MSRPSetError(error, MSRPErrorCode::kNoNumberForm);
    return std::numeric_limits<double>::quiet_NaN();
}

bool MSRPValue::booleanValueOrError(int* error) const {
    switch (kind_) {
        case MSRPValueKind::Undefined:
        case MSRPValueKind::Null: return false;
        case MSRPValueKind::Boolean: return boolean_;
        case MSRPValueKind::Number: return !(number_ == 0 || std::isnan(number_));
        case MSRPValueKind::String: return !text().empty();
        case MSRPValueKind::Map:
        case MSRPValueKind::Array:
        case MSRPValueKind::Function: return true;
        case MSRPValueKind::Hole:
        case MSRPValueKind::Control:
        case MSRPValueKind::Statement: break;
    }
    MSRPSetError(error, MSRPErrorCode::kNoTruthValue);
    return false;
}

// Equality -------------------------------------------------------------------

namespace {

struct PairHash {
    size_t operator()(const std::pair<const void*, const void*>& pair) const {
        return std::hash<const void*>()(pair.first) * 31 + std::hash<const void*>()(pair.second);
    }
};

// Equality of two values whose members are not looked at; `pending` gets the
// member pairs still to compare.
bool shallowEqual(const MSRPValue& a, const MSRPValue& b, std::vector<std::pair<MSRPValue, MSRPValue>>& pending) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case MSRPValueKind::Undefined:
        case MSRPValueKind::Null:
        case MSRPValueKind::Hole: return true;
        case MSRPValueKind::Boolean: return a.booleanValue() == b.booleanValue();
        case MSRPValueKind::Number:
            return a.numberValue() == b.numberValue() || (std::isnan(a.numberValue()) && std::isnan(b.numberValue()));
        case MSRPValueKind::String: return MSRPTextsEqual(a.text(), b.text());
        case MSRPValueKind::Map: {
            const MSRPPropertyMap& mine = a.map()->propertyMap();
            const MSRPPropertyMap& theirs = b.map()->propertyMap();
            if (mine.count() != theirs.count()) return false;
            for (const MSRPPropertyMap::Entry& entry : mine.entries()) {
                const MSRPValue* other = theirs.lookup(entry.name);
                if (!other) return false;
                pending.emplace_back(entry.value, *other);
            }
            return true;
        }
        case MSRPValueKind::Array: {
            const std::vector<MSRPValue>& mine = a.array()->elements();
            const std::vector<MSRPValue>& theirs = b.array()->elements();
            if (mine.size() != theirs.size()) return false;
            for (size_t i = 0; i < mine.size(); ++i) pending.emplace_back(mine[i], theirs[i]);
            return true;
        }
        case MSRPValueKind::Function: {
            const MSRPText& name = a.function()->functionName();
            return a.object() == b.object() || (!name.empty() && name == b.function()->functionName());
        }
        case MSRPValueKind::Control: {
            if (a.control()->type() != b.control()->type()) return false;
            pending.emplace_back(a.control()->data(), b.control()->data());
            return true;
        }
        case MSRPValueKind::Statement: {
            const MSRPStatementValue* mine = a.statement();
            const MSRPStatementValue* theirs = b.statement();
            if (mine->functionName() != theirs->functionName()) return false;
            if (mine->arguments().size() != theirs->arguments().size()) return false;
            for (size_t i = 0; i < mine->arguments().size(); ++i)
                pending.emplace_back(mine->arguments()[i], theirs->arguments()[i]);
            return true;
        }
    }
    return false;
}

}  // namespace

bool MSRPValue::isEqualToRuntimeValue(const MSRPValue& other) const {
    // A worklist instead of recursion; a pair of containers already under
    // comparison is taken as equal, so cycles that match end the walk.
    std::vector<std::pair<MSRPValue, MSRPValue>> pending;
    std::unordered_set<std::pair<const void*, const void*>, PairHash> seen;
    pending.emplace_back(*this, other);
    while (!pending.empty()) {
        auto [a, b] = std::move(pending.back());
        pending.pop_back();
        if (a.isObject() && b.isObject()) {
            if (a.object() == b.object()) continue;
            if (!seen.emplace(a.object(), b.object()).second) continue;
        }
        if (!shallowEqual(a, b, pending)) return false;
    }
    return true;
}

// Shared helpers --------------------------------------------------------------

bool MSRPIsObjectOrString(const MSRPValue& value) { return value.isString() || value.hasPropertyMap(); }

bool MSRPIsArrayIndex(const MSRPValue& value) {
    if (!value.isNumber() && !value.isString()) return false;
    int error = 0;
    double number = value.doubleValueOrError(&error);
    return !error && std::isfinite(number) && number == std::trunc(number) && number >= 0;
}

int32_t MSRPToInt32(double value) {
    if (!std::isfinite(value)) return 0;
    double remainder = std::fmod(std::trunc(value), 4294967296.0);
    if (remainder >= 2147483648.0) return std::numeric_limits<int32_t>::max();
    if (remainder < -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(remainder);
}

double MSRPToInteger(double value) {
    if (std::isnan(value)) return 0;
    if (value == 0 || std::isinf(value)) return value;
    return std::trunc(value);
}

bool MSRPStringValuesEqual(const MSRPValue& a, const MSRPValue& b, int* error) {
    int inner = 0;
    MSRPText left = a.stringValueOrError(&inner);
    MSRPText right = inner ? MSRPText() : b.stringValueOrError(&inner);
    if (inner) {
        MSRPSetError(error, inner);
        return false;
    }
    return left == right;
}


bool MSRPNumberValuesEqual(const MSRPValue& a, const MSRPValue& b, int* error) {
    int inner = 0;
    double left = a.doubleValueOrError(&inner);
    double right = inner ? 0 : b.doubleValueOrError(&inner);
    if (inner) {
        MSRPSetError(error, inner);
        return false;
    }
    return left == right;
}

bool MSRPStrictEquals(const MSRPValue& a, const MSRPValue& b, int* error) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case MSRPValueKind::Number:
        case MSRPValueKind::Boolean: return MSRPNumberValuesEqual(a, b, error);
        case MSRPValueKind::String: return MSRPTextsEqual(a.text(), b.text());
        case MSRPValueKind::Undefined:
        case MSRPValueKind::Null:
        case MSRPValueKind::Hole: return true;
        default: return a.object() == b.object();
    }
}

// Number text -------------------------------------------------------------------

std::string MSRPNumberToString(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    if (value == 0) return "0";
    char buffer[400];
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e-6 && magnitude < 1e21) {
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
        return std::string(buffer, result.ptr);
    }
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string text(buffer, result.ptr);
    // "1e+21", "1.5e-07" -> "1e+21", "1.5e-7": no padded exponent.
    size_t e = text.find('e');
    if (e != std::string::npos && e + 2 < text.size()) {
        size_t digits = e + 2;
        while (digits + 1 < text.size() && text[digits] == '0') text.erase(digits, 1);
    }
    return text;
}

double MSRPStringToNumber(std::string_view text) {
    // Unicode's whitespace and line ends (U+00A0, U+2028, U+3000...), not
    // only ASCII's blanks; a text that is not UTF-8 trims nothing further.
    // Each end is trimmed in steps of a chunk, charged as it goes: a text
    // of blanks costs what its length does.
    constexpr double kStopped = std::numeric_limits<double>::quiet_NaN();
    if (text.size() > size_t{INT32_MAX}) return kStopped;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int32_t start = 0, end = static_cast<int32_t>(text.size());
    int32_t charged = 0;
    while (start < end) {
        if (start - charged >= static_cast<int32_t>(MSRPWork::kChunk)) {
            if (!MSRPWork::chargeConversion(start - charged)) return kStopped;
            charged = start;
        }
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, end, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        start = next;
    }
    // The last stretch, shorter than a chunk, is charged too, however short:
    // a text of blanks costs what its length does.
    if (start > charged && !MSRPWork::chargeConversion(start - charged)) return kStopped;
    charged = end;
    while (end > start) {
        if (charged - end >= static_cast<int32_t>(MSRPWork::kChunk)) {
            if (!MSRPWork::chargeConversion(charged - end)) return kStopped;
            charged = end;
        }
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = previous;
    }
    if (charged > end && !MSRPWork::chargeConversion(charged - end)) return kStopped;
    // What is left is read once by the number reader.
    if (end - start > static_cast<int32_t>(kUnchargedText) && !MSRPWork::chargeConversion(end - start))
        return kStopped;
    text = text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
    if (text.empty()) return 0;
    if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (text == "Infinity") return std::numeric_limits<double>::infinity();
    if (text == "-Infinity") return -std::numeric_limits<double>::infinity();
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    std::string_view digits = text;
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    // Only plain decimal notation: no hexadecimal, no spelled-out infinities.
    if (digits.empty() || !(std::isdigit(static_cast<unsigned char>(digits.front())) || digits.front() == '.'))
        return kNaN;
    double value = 0;
    auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // Overflow reads as infinity, underflow as zero, as a scanner gives them.
        bool large = digits.find_first_of("eE") == std::string_view::npos ||
                     digits[digits.find_first_of("eE") + 1] != '-';
        value = large ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) {
        return kNaN;
    }
    return negative ? -value : value;
}

// UTF-16 ----------------------------------------------------------------------

std::u16string MSRPUTF16(std::string_view text) {
    std::u16string units;
    units.reserve(text.size());
    // Converted a chunk at a time, each charged before it is done.
    size_t i = 0;
    while (i < text.size()) {
        const size_t chunkEnd = std::min(text.size(), i + MSRPWork::kChunk);
        if (chunkEnd - i > kUnchargedText && !MSRPWork::chargeConversion(static_cast<int64_t>(chunkEnd - i)))
            return units;
        while (i < chunkEnd) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        uint32_t code = 0xFFFD;
        size_t length = 1;
        if (lead < 0x80) {
            code = lead;
        } else {
            size_t need = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
            if (need && i + need <= text.size()) {
                uint32_t value = lead & (need == 2 ? 0x1F : need == 3 ? 0x0F : 0x07);
                bool ok = true;
                for (size_t k = 1; k < need; ++k) {
                    unsigned char next = static_cast<unsigned char>(text[i + k]);
                    if ((next & 0xC0) != 0x80) {
                        ok = false;
                        break;
                    }
                    value = (value << 6) | (next & 0x3F);
                }
                bool minimal = (need == 3 && value >= 0x800) || (need == 4 && value >= 0x10000) || need == 2;
                if (ok && minimal && value <= 0x10FFFF && !(value >= 0xD800 && value < 0xE000)) {
                    code = value;
                    length = need;
                }
            }
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(code));
        }
        i += length;
        }
    }
    return units;
}

MSRPMemory::Text MSRPUTF8(std::u16string_view units) {
    MSRPMemory::Text text;
    text.reserve(units.size());
    // Converted a chunk at a time, each charged before it is done.
    for (size_t i = 0; i < units.size(); ++i) {
        if (i % MSRPWork::kChunk == 0 && units.size() - i > kUnchargedText / 2 &&
            !MSRPWork::chargeConversion(static_cast<int64_t>(2 * std::min(MSRPWork::kChunk, units.size() - i))))
            return text;
        uint32_t code = units[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (code < 0x80) {
            text.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            text.push_back(static_cast<char>(0xC0 | (code >> 6)));
            text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            text.push_back(static_cast<char>(0xE0 | (code >> 12)));
            text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            text.push_back(static_cast<char>(0xF0 | (code >> 18)));
            text.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return text;
}
