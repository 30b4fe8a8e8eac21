#pragma once
// A message read in place: a view of a message's cells that copies nothing,
// for reading a large tree (a program of many entities) once. It borrows
// the info of a wrapper or of an element of a repeated field and must not
// outlive it. Its getters answer what the MSRPBRuntime getters answer for
// the same message, texts as views into the message.

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "analytics/messages/NANOMessageBase.h"

class MSRPBMessageView {
  public:
    // A view of nothing: every getter answers its neutral value.
    MSRPBMessageView() = default;
    explicit MSRPBMessageView(const NANOMessageBase& message) : info_(message.messageInfo()) {}
    explicit MSRPBMessageView(const NANOMessageInfo* info) : info_(info) {}

    bool isEmpty() const { return info_ == nullptr; }
    const NANOMessageInfo* info() const { return info_; }
    const MSRPBMessageType* type() const { return info_ ? info_->type : nullptr; }

    bool hasField(uint32_t index) const;
    int32_t int32(uint32_t index) const;
    bool boolean(uint32_t index) const;
    double number(uint32_t index) const;
    // nullopt when absent or not UTF-8.
    std::optional<std::string_view> text(uint32_t index) const;
    // The single message field `index` (a view of nothing when absent).
    MSRPBMessageView message(uint32_t index) const;

    // The elements of the repeated message field `index` (0 for another field).
    size_t elementCount(uint32_t index) const;
    // Calls `visit` with each element of the repeated message field `index`
    // in order, each read in place (a field held encoded is decoded one
    // element at a time); stops at the first false answer. False when one
    // stopped it.
    bool forEachElement(uint32_t index, const std::function<bool(MSRPBMessageView)>& visit) const;

  private:
    // The cell at `index` when the field is of a kind in `kinds`.
    const NANOCell* cell(uint32_t index, uint32_t kinds) const;

    const NANOMessageInfo* info_ = nullptr;
};
