#pragma once
// An array: elements in order, holes where none was set, and named members.
// Its length is bounded (kMaxLength, and the memory limit), so that a
// program cannot grow it to billions of holes.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPObjectValue.h"

struct MSRPExecution;
class MSRPFunctionValue;
class MSRPScope;

class MSRPArrayValue final : public MSRPObjectValue {
  public:
    static constexpr size_t kMaxLength = size_t{1} << 24;
    // Arrays nested deeper than this have no text form (error 5).
    static constexpr size_t kMaxNesting = 200;

    explicit MSRPArrayValue(std::vector<MSRPValue> elements = {});
    ~MSRPArrayValue() override;

    size_t count() const { return elements_.size(); }
    const std::vector<MSRPValue>& elements() const { return elements_; }
    // A copy with holes read as undefined.
    std::vector<MSRPValue> allElements() const;
    // Truncates or appends holes; false with error 11 beyond kMaxLength,
    // error 20 beyond the memory limit.
    bool setLength(size_t length, int* error);

    // Members by key: "length", an element index, or a named member.
    MSRPValue valueForProperty(const MSRPValue& key, int* error) const;
    bool setValue(const MSRPValue& value, const MSRPValue& key, int* error);
    void removeValueForProperty(const MSRPValue& key, int* error);
    bool hasProperty(const MSRPValue& key, int* error) const;
    // Member names first, then the indices of the elements that are not holes.
    std::vector<MSRPValue> allPropertyNames() const;

    // Elements' text forms joined; holes, undefined and null give nothing. An
    // array met again inside itself gives nothing too.
    MSRPText stringValueWithSeparator(std::string_view separator, int* error) const;
    std::vector<MSRPValue> subarrayWithRange(int64_t start, int64_t length) const;
    // Splicing, appending, prepending (concat appends), removing the first
    // element and reversing charge the elements they copy or move before
    // they start, whoever calls them; a stopped run's array is left as it
    // was.
    std::vector<MSRPValue> spliceFrom(int64_t start, int64_t deleteCount, std::span<const MSRPValue> values,
                                      int* error);
    bool concat(const MSRPValue& value, int* error);
    void reverse();
    MSRPValue removeFirstElement();
    MSRPValue removeLastElement();
    size_t appendElements(std::span<const MSRPValue> values, int* error);
    size_t prependElements(std::span<const MSRPValue> values, int* error);
    int64_t indexOfValue(const MSRPValue& value, size_t fromIndex, int* error) const;
    int64_t lastIndexOfValue(const MSRPValue& value, size_t fromIndex, int* error) const;
    // A stable merge sort; a comparison function that answers inconsistently
    // gives some order, never a fault.
    void sortUsingFunctionValue(MSRPFunctionValue* function, MSRPExecution& execution, MSRPScope& scope);

    void markChildren(MSRPMarker& marker) const override;
    void sweep() override;

  private:
    // Whether `count` more elements may be added.
    static bool canGrowTo(size_t count, int* error);
    // Whether the storage for `count` more elements fits under the memory
    // ceiling; false with error 20 when it does not.
    bool hasRoomFor(size_t count, int* error) const;
    void accountCapacity();
    // Writes the text form into `text`; `pending` counts the bytes written
    // and elements read since the last charge.
    void appendTextForm(MSRPMemory::Text& text, std::string_view separator, size_t& pending, int* error) const;
    // Charges moving or copying `count` elements; false once the run has stopped.
    static bool chargeMoved(size_t count);
    // The error a stopped charge leaves for the caller's slot.
    static int stopCode();

    std::vector<MSRPValue> elements_;
    int64_t accountedBytes_ = 0;
};

inline MSRPArrayValue* MSRPValue::array() const {
    return isArray() ? static_cast<MSRPArrayValue*>(object_) : nullptr;
}
