#include "analytics/interpreter/MSRPArrayValue.h"

#include <algorithm>
#include <cmath>

#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPObjectManager.h"

namespace {
// The arrays whose text form is being written, innermost last.
thread_local std::vector<const MSRPArrayValue*> tJoining;
// Writing a number's text form to compare it takes about as long as this
// many evaluations (interpreter_bench: BM_SortNumbers).
constexpr int64_t kTextFormInstructions = 4;
}  // namespace

MSRPArrayValue::MSRPArrayValue(std::vector<MSRPValue> elements)
    : MSRPObjectValue(MSRPValueKind::Array), elements_(std::move(elements)) {
    MSRPMemory::add(static_cast<int64_t>(sizeof(*this)));
    accountCapacity();
}

MSRPArrayValue::~MSRPArrayValue() {
    MSRPMemory::add(-static_cast<int64_t>(sizeof(*this)) - accountedBytes_);
}

void MSRPArrayValue::accountCapacity() {
    int64_t bytes = static_cast<int64_t>(elements_.capacity() * sizeof(MSRPValue));
    MSRPMemory::add(bytes - accountedBytes_);
    accountedBytes_ = bytes;
}

bool MSRPArrayValue::canGrowTo(size_t count, int* error) {
    if (count > kMaxLength) {
        MSRPSetError(error, MSRPErrorCode::kInvalidLength);
        return false;
    }
    return true;
}

std::vector<MSRPValue> MSRPArrayValue::allElements() const {
    MSRPWork::charge(static_cast<int64_t>(elements_.size() * sizeof(MSRPValue)));
    std::vector<MSRPValue> all(elements_);
    for (MSRPValue& element : all)
        if (element.isHole()) element = MSRPValue();
    return all;
}

bool MSRPArrayValue::setLength(size_t length, int* error) {
    if (length > elements_.size()) {
        if (!canGrowTo(length, error)) return false;
        if (!MSRPMemory::fits(static_cast<int64_t>((length - elements_.size()) * sizeof(MSRPValue)))) {
            MSRPSetError(error, MSRPErrorCode::kMemoryLimit);
            return false;
        }
    }
    if (length > elements_.size()) MSRPWork::charge(static_cast<int64_t>((length - elements_.size()) * sizeof(MSRPValue)));
    elements_.resize(length, MSRPValue::hole());
    if (length < elements_.size() / 2) elements_.shrink_to_fit();
    accountCapacity();
    return true;
}

namespace {
// Whether a number key is an element index (finite, integral, not negative).
bool isIndexNumber(double number) { return std::isfinite(number) && number >= 0 && number == std::trunc(number); }
}  // namespace

MSRPValue MSRPArrayValue::valueForProperty(const MSRPValue& key, int* error) const {
    // A number key is the common case and has a text form that never fails:
    // it is an index without writing that text.
    if (key.isNumber() && isIndexNumber(key.numberValue())) {
        double index = key.numberValue();
        if (index >= static_cast<double>(elements_.size())) return MSRPValue();
        const MSRPValue& element = elements_[static_cast<size_t>(index)];
        return element.isHole() ? MSRPValue() : element;
    }
    if (key.isString() && std::string_view(key.text()) == "length")
        return MSRPValue::number(static_cast<double>(elements_.size()));
    int inner = 0;
    MSRPText name = key.stringValueOrError(&inner);
    if (inner) {
        MSRPSetError(error, inner);
        return MSRPValue();
    }
    if (MSRPIsArrayIndex(key)) {
        double index = key.doubleValueOrError(nullptr);
        if (index >= static_cast<double>(elements_.size())) return MSRPValue();
        const MSRPValue& element = elements_[static_cast<size_t>(index)];
        return element.isHole() ? MSRPValue() : element;
    }
    return propertyMap().valueForName(name);
}

bool MSRPArrayValue::setValue(const MSRPValue& value, const MSRPValue& key, int* error) {
    if (key.isNumber() && isIndexNumber(key.numberValue())) {
        const double index = key.numberValue();
        if (index < static_cast<double>(elements_.size())) {
            elements_[static_cast<size_t>(index)] = value;
            return true;
        }
        // Appending one element, the usual way an array is built: the
        // bounds and the charge of setLength, without writing a hole first.
        if (index == static_cast<double>(elements_.size()) && index < static_cast<double>(kMaxLength)) {
            if (!hasRoomFor(1, error)) return false;
            MSRPWork::charge(static_cast<int64_t>(sizeof(MSRPValue)));
            elements_.push_back(value);
            accountCapacity();
            return true;
        }
    }
    int inner = 0;
    MSRPText name = key.stringValueOrError(&inner);
    if (inner) {
        MSRPSetError(error, inner);
        return false;
    }
    if (key.isString() && name == "length") {
        if (!MSRPIsArrayIndex(value)) {
            MSRPSetError(error, MSRPErrorCode::kInvalidLength);
            return false;
        }
        double length = std::trunc(value.doubleValueOrError(nullptr));
        if (length > static_cast<double>(kMaxLength)) {
            MSRPSetError(error, MSRPErrorCode::kInvalidLength);
            return false;
        }
        return setLength(static_cast<size_t>(length), error);
    }
    if (MSRPIsArrayIndex(key)) {
        double index = key.doubleValueOrError(nullptr);
        if (index >= static_cast<double>(kMaxLength)) {
            MSRPSetError(error, MSRPErrorCode::kInvalidLength);
            return false;
        }
        size_t i = static_cast<size_t>(index);
        if (i >= elements_.size() && !setLength(i + 1, error)) return false;
        elements_[i] = value;
        return true;
    }
    MSRPObjectValue::setValue(value, name);
    return true;
}

void MSRPArrayValue::removeValueForProperty(const MSRPValue& key, int* error) {
    int inner = 0;
    MSRPText name = key.stringValueOrError(&inner);
    if (inner) {
        MSRPSetError(error, inner);
        return;
    }
    if (MSRPIsArrayIndex(key)) {
        double index = key.doubleValueOrError(nullptr);
        if (index < static_cast<double>(elements_.size())) elements_[static_cast<size_t>(index)] = MSRPValue::hole();
        return;
    }
    MSRPObjectValue::removeValueForProperty(name);
}

bool MSRPArrayValue::hasProperty(const MSRPValue& key, int* error) const {
    int inner = 0;
    MSRPText name = key.stringValueOrError(&inner);
    if (inner) {
        MSRPSetError(error, inner);
        return false;
    }
    if (MSRPIsArrayIndex(key)) {
        double index = key.doubleValueOrError(nullptr);
        return index < static_cast<double>(elements_.size()) && !elements_[static_cast<size_t>(index)].isHole();
    }
    return propertyMap().hasName(name);
}

std::vector<MSRPValue> MSRPArrayValue::allPropertyNames() const {
    MSRPWork::charge(static_cast<int64_t>(elements_.size() * sizeof(MSRPValue)));
    std::vector<MSRPValue> names;
    for (const MSRPPropertyMap::Entry& entry : propertyMap().entries()) names.push_back(MSRPValue::string(entry.name));
    for (size_t i = 0; i < elements_.size(); ++i)
        if (!elements_[i].isHole()) names.push_back(MSRPValue::string(std::to_string(i)));
    return names;
}

MSRPText MSRPArrayValue::stringValueWithSeparator(std::string_view separator, int* error) const {
    if (elements_.empty()) return MSRPText();
    // Nested arrays write into the one text, which the memory account
    // counts as it grows; their parts are never copied on the way up.
    MSRPMemory::Text text;
    size_t pending = 0;
    int inner = 0;
    appendTextForm(text, separator, pending, &inner);
    if (!inner && !MSRPWork::chargeConversion(static_cast<int64_t>(pending))) inner = stopCode();
    if (inner) {
        MSRPSetError(error, inner);
        return MSRPText();
    }
    // Written and charged above: the text takes the bytes over.
    return MSRPText::make(std::move(text));
}

bool MSRPArrayValue::chargeMoved(size_t count) {
    return MSRPWork::charge(static_cast<int64_t>(count * sizeof(MSRPValue)));
}

int MSRPArrayValue::stopCode() {
    return MSRPMemory::exceeded() ? MSRPErrorCode::kMemoryLimit : MSRPErrorCode::kInstructionBudget;
}

void MSRPArrayValue::appendTextForm(MSRPMemory::Text& text, std::string_view separator, size_t& pending,
                                    int* error) const {
    // An array inside itself writes nothing there, as an empty array would;
    // nesting beyond the bound has no text form.
    if (std::find(tJoining.begin(), tJoining.end(), this) != tJoining.end()) return;
    if (tJoining.size() >= kMaxNesting) {
        MSRPSetError(error, MSRPErrorCode::kNoTextForm);
        return;
    }
    tJoining.push_back(this);
    // The text grows by doubling; room for the larger copy is checked
    // before it is made, while the smaller one still counts.
    auto append = [&](std::string_view part) {
        if (text.size() + part.size() > text.capacity()) {
            const size_t room = std::max(text.size() + part.size(), 2 * text.capacity());
            if (!MSRPMemory::fits(static_cast<int64_t>(room))) {
                MSRPSetError(error, MSRPErrorCode::kMemoryLimit);
                return;
            }
            text.reserve(room);
        }
        text.append(part);
    };
    for (size_t i = 0; i < elements_.size() && !*error; ++i) {
        const MSRPValue& element = elements_[i];
        size_t written = text.size();
        if (const MSRPArrayValue* nested = element.array()) {
            nested->appendTextForm(text, ",", pending, error);
            // What the nested array wrote, it charged itself.
            written = text.size();
        } else if (element.isString()) {
            append(element.text());
        } else if (!element.isHole() && !element.isUndefined() && !element.isNull()) {
            append(element.stringValueOrError(error).view());
        }
        if (i + 1 < elements_.size() && !*error) append(separator);
        // Charged as it is written, the copy and the element looked at: at
        // the rate of a conversion, since the text grows into new memory
        // (interpreter_bench: BM_CostlyProgram).
        pending += text.size() - written + sizeof(MSRPValue);
        if (pending >= MSRPWork::kChunk || MSRPMemory::exceeded()) {
            if (!MSRPWork::chargeConversion(static_cast<int64_t>(pending)) || MSRPMemory::exceeded())
                MSRPSetError(error, stopCode());
            pending = 0;
        }
    }
    tJoining.pop_back();
}

namespace {
// start and length clamped to the array: start to 0..count, length to 0..count - start.
std::pair<size_t, size_t> clampRange(int64_t start, int64_t length, size_t count) {
    int64_t total = static_cast<int64_t>(count);
    int64_t from = std::clamp<int64_t>(start, 0, total);
    int64_t size = std::clamp<int64_t>(length, 0, total - from);
    return {static_cast<size_t>(from), static_cast<size_t>(size)};
}
}  // namespace

std::vector<MSRPValue> MSRPArrayValue::subarrayWithRange(int64_t start, int64_t length) const {
    auto [from, size] = clampRange(start, length, elements_.size());
    return std::vector<MSRPValue>(elements_.begin() + static_cast<ptrdiff_t>(from),
                                  elements_.begin() + static_cast<ptrdiff_t>(from + size));
}

std::vector<MSRPValue> MSRPArrayValue::spliceFrom(int64_t start, int64_t deleteCount,
                                                  std::span<const MSRPValue> values, int* error) {
    auto [from, size] = clampRange(start, deleteCount, elements_.size());
    if (values.size() > size && !canGrowTo(elements_.size() - size + values.size(), error)) return {};
    if (values.size() > size && !hasRoomFor(values.size() - size, error)) return {};
    // The removed ones are copied out, the rest move, the new ones are copied in.
    if (!chargeMoved(elements_.size() + values.size())) return {};
    auto first = elements_.begin() + static_cast<ptrdiff_t>(from);
    std::vector<MSRPValue> removed(first, first + static_cast<ptrdiff_t>(size));
    elements_.erase(first, first + static_cast<ptrdiff_t>(size));
    elements_.insert(elements_.begin() + static_cast<ptrdiff_t>(from), values.begin(), values.end());
    accountCapacity();
    return removed;
}

bool MSRPArrayValue::concat(const MSRPValue& value, int* error) {
    if (value.isControl()) {
        MSRPSetError(error, MSRPErrorCode::kArgumentKind);
        return false;
    }
    int inner = 0;
    if (const MSRPArrayValue* other = value.array()) {
        std::vector<MSRPValue> added(other->elements_);  // the array may be this one
        appendElements(added, &inner);
    } else {
        appendElements(std::span<const MSRPValue>(&value, 1), &inner);
    }
    MSRPSetError(error, inner);
    return inner == 0;
}

void MSRPArrayValue::reverse() {
    if (chargeMoved(elements_.size())) std::reverse(elements_.begin(), elements_.end());
}

MSRPValue MSRPArrayValue::removeFirstElement() {
    if (elements_.empty() || !chargeMoved(elements_.size())) return MSRPValue();
    MSRPValue first = std::move(elements_.front());
    elements_.erase(elements_.begin());
    return first.isHole() ? MSRPValue() : first;
}

MSRPValue MSRPArrayValue::removeLastElement() {
    if (elements_.empty()) return MSRPValue();
    MSRPValue last = std::move(elements_.back());
    elements_.pop_back();
    return last.isHole() ? MSRPValue() : last;
}

bool MSRPArrayValue::hasRoomFor(size_t count, int* error) const {
    // Growing may double the capacity: the new capacity must fit.
    size_t needed = elements_.size() + count;
    if (needed <= elements_.capacity()) return true;
    size_t capacity = std::max(needed, elements_.capacity() * 2);
    if (MSRPMemory::fits(static_cast<int64_t>((capacity - elements_.capacity()) * sizeof(MSRPValue)))) return true;
    MSRPSetError(error, MSRPErrorCode::kMemoryLimit);
    return false;
}

size_t MSRPArrayValue::appendElements(std::span<const MSRPValue> values, int* error) {
    if (!canGrowTo(elements_.size() + values.size(), error) || !hasRoomFor(values.size(), error))
        return elements_.size();
    if (!chargeMoved(values.size())) return elements_.size();
    elements_.insert(elements_.end(), values.begin(), values.end());
    accountCapacity();
    return elements_.size();
}

size_t MSRPArrayValue::prependElements(std::span<const MSRPValue> values, int* error) {
    if (!canGrowTo(elements_.size() + values.size(), error) || !hasRoomFor(values.size(), error))
        return elements_.size();
    if (!chargeMoved(elements_.size() + values.size())) return elements_.size();
    elements_.insert(elements_.begin(), values.begin(), values.end());
    accountCapacity();
    return elements_.size();
}

int64_t MSRPArrayValue::indexOfValue(const MSRPValue& value, size_t fromIndex, int* error) const {
    for (size_t i = fromIndex; i < elements_.size(); ++i) {
        int inner = 0;
        bool equal = MSRPStrictEquals(value, elements_[i], &inner);
        if (inner) {
            MSRPSetError(error, inner);
            return -1;
        }
        if (equal) return static_cast<int64_t>(i);
    }
    return -1;
}

int64_t MSRPArrayValue::lastIndexOfValue(const MSRPValue& value, size_t fromIndex, int* error) const {
    // From the start index down: the tail past it is never visited.
    if (elements_.empty()) return -1;
    for (size_t i = std::min(fromIndex, elements_.size() - 1) + 1; i-- > 0;) {
        int inner = 0;
        bool equal = MSRPStrictEquals(value, elements_[i], &inner);
        if (inner) {
            MSRPSetError(error, inner);
            return -1;
        }
        if (equal) return static_cast<int64_t>(i);
    }
    return -1;
}

void MSRPArrayValue::sortUsingFunctionValue(MSRPFunctionValue* function, MSRPExecution& execution,
                                            MSRPScope& scope) {
    // -1: a first, 1: b first, 0: equal. Once an error is recorded, all equal.
    auto compare = [&](const MSRPValue& a, const MSRPValue& b) -> int {
        if (execution.failed()) return 0;
        if (a.isHole() || b.isHole()) return a.isHole() == b.isHole() ? 0 : a.isHole() ? 1 : -1;
        if (a.isUndefined() || b.isUndefined()) return a.isUndefined() == b.isUndefined() ? 0 : a.isUndefined() ? 1 : -1;
        if (function) {
            MSRPValue pair[2] = {a, b};
            MSRPValue result = function->invokeAsCallback(execution, pair);
            (void)scope;
            double order = result.doubleValueOrError(execution.errorSlot());
            if (execution.failed()) return 0;
            return order < 0 ? -1 : order > 0 ? 1 : 0;
        }
        // Each comparison is charged before it is made, by what it does: an
        // instruction, and the text form of each side that is not a text
        // (a long text's bytes are charged as they are compared, a join's
        // as it is written).
        const int64_t converted = (a.isString() ? 0 : 1) + (b.isString() ? 0 : 1);
        if (!execution.charge(MSRPWork::kBytesPerInstruction * (1 + kTextFormInstructions * converted))) return 0;
        const MSRPText left = a.stringValueOrError(execution.errorSlot());
        const MSRPText right = b.stringValueOrError(execution.errorSlot());
        if (execution.failed()) return 0;
        const int order = MSRPCompareTexts(left, right);
        return execution.failed() ? 0 : order;
    };
    // Bottom-up merge sort: stable, and safe under any answers of `compare`.
    std::vector<MSRPValue> from(elements_);
    std::vector<MSRPValue> to(from.size());
    for (size_t width = 1; width < from.size(); width *= 2) {
        for (size_t low = 0; low < from.size(); low += 2 * width) {
            size_t mid = std::min(low + width, from.size());
            size_t high = std::min(low + 2 * width, from.size());
            size_t i = low, j = mid, k = low;
            while (i < mid && j < high) to[k++] = compare(from[j], from[i]) < 0 ? from[j++] : from[i++];
            while (i < mid) to[k++] = from[i++];
            while (j < high) to[k++] = from[j++];
        }
        std::swap(from, to);
    }
    if (from.size() == elements_.size()) elements_ = std::move(from);
}

void MSRPArrayValue::markChildren(MSRPMarker& marker) const {
    MSRPObjectValue::markChildren(marker);
    for (const MSRPValue& element : elements_) marker.markValue(element);
}

void MSRPArrayValue::sweep() {
    std::vector<MSRPValue> released = std::exchange(elements_, {});
    accountCapacity();
    MSRPObjectValue::sweep();
}
