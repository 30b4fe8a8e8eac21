#pragma once
// Reading and writing message fields by field index. Every accessor checks
// that the wrapper holds a message, that the index lies inside the message and
// that the field's declared kind fits the accessor; a failed check is reported
// to the monitor and answers the neutral value (false, 0, 0.0, nullopt, empty)
// or leaves the message unchanged.

#include <concepts>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "analytics/messages/NANOMessageBase.h"

// Repeated fields of any kind are always present, even when empty.
bool MSRPBHasField(const NANOMessageBase& message, uint32_t index);
void MSRPBClearField(NANOMessageBase& message, uint32_t index);

bool MSRPBGetBool(const NANOMessageBase& message, uint32_t index);
void MSRPBSetBool(NANOMessageBase& message, uint32_t index, bool value);
// int32, uint32 and enum fields.
int32_t MSRPBGetInt32(const NANOMessageBase& message, uint32_t index);
void MSRPBSetInt32(NANOMessageBase& message, uint32_t index, int32_t value);
// int64 and uint64 fields.
int64_t MSRPBGetInt64(const NANOMessageBase& message, uint32_t index);
void MSRPBSetInt64(NANOMessageBase& message, uint32_t index, int64_t value);
double MSRPBGetDouble(const NANOMessageBase& message, uint32_t index);
void MSRPBSetDouble(NANOMessageBase& message, uint32_t index, double value);
// Whether string bytes are UTF-8, as the string getters require.
bool MSRPBIsUTF8(std::string_view text);
// nullopt when absent or when the stored bytes are not UTF-8.
std::optional<std::string> MSRPBGetString(const NANOMessageBase& message, uint32_t index);
// nullopt clears the field.
void MSRPBSetString(NANOMessageBase& message, uint32_t index, std::optional<std::string_view> value);

// A copy of a nested single message, which must be of `type`.
std::optional<NANOMessageBase> MSRPBGetMessage(const NANOMessageBase& message, uint32_t index,
                                               const MSRPBMessageType& type);
// Stores a copy of `value`, which must be of the field's message type.
void MSRPBSetMessage(NANOMessageBase& message, uint32_t index, const NANOMessageBase& value);

// One element of a repeated scalar, string or bytes field.
using MSRPBValue = std::variant<bool, int32_t, uint32_t, int64_t, uint64_t, float, double, std::string,
                                std::vector<uint8_t>>;
// Elements as the field's kind gives them: bool, int32 (also enum), uint32,
// int64, uint64, float, double, string (skipped when not UTF-8) or bytes.
std::vector<MSRPBValue> MSRPBGetArray(const NANOMessageBase& message, uint32_t index);
// All or nothing: numeric fields take any number, string fields strings, bytes
// fields bytes; the first element of another kind is logged and leaves the
// field empty.
void MSRPBSetArray(NANOMessageBase& message, uint32_t index, const std::vector<MSRPBValue>& values);

// Copies of the elements of a repeated message field of `type`.
std::vector<NANOMessageBase> MSRPBGetMessageArray(const NANOMessageBase& message, uint32_t index,
                                                  const MSRPBMessageType& type);
// All or nothing: an element that is missing, holds no message or is of
// another type than the field's is logged and leaves the field empty.
void MSRPBSetMessageArray(NANOMessageBase& message, uint32_t index,
                          std::span<const NANOMessageBase* const> values);
// The elements themselves, moved out of the message, which keeps the field
// empty: for a message that is read once and then dropped.
std::vector<NANOMessageBase> MSRPBTakeMessageArray(NANOMessageBase& message, uint32_t index,
                                                   const MSRPBMessageType& type);
// As MSRPBSetMessageArray, but the elements are moved in instead of copied;
// they are left moved-from. A refused list leaves them untouched.
void MSRPBMoveMessageArray(NANOMessageBase& message, uint32_t index, std::span<NANOMessageBase* const> values);

// Repeated message fields held encoded. A list of events read from storage
// and posted again need never become trees: its elements are kept as their
// encodings, written verbatim when the message is encoded (the encoding is
// byte for byte the one the same elements would give as trees), and every
// accessor above still works on such a field (the getters decode on demand,
// the setters replace the list, equality compares content).
//
// Appends one element, given as the encoding of its message, to a list being
// built for MSRPBSetEncodedMessageArray.
void MSRPBAppendEncodedElement(std::string& elements, std::span<const uint8_t> encodedMessage);
// Sets a repeated message field to the elements collected by
// MSRPBAppendEncodedElement; the elements are not checked (the caller made
// them from encodings it trusts).
void MSRPBSetEncodedMessageArray(NANOMessageBase& message, uint32_t index, std::string elements);
// Whether a repeated message field holds its elements encoded.
bool MSRPBIsEncodedMessageArray(const NANOMessageBase& message, uint32_t index);
// Calls `visit` with each element's encoding, in order, whichever form the
// field holds (tree elements are encoded for the call); the number of
// elements visited. For reading a few fields of every element without
// building trees.
size_t MSRPBVisitEncodedElements(const NANOMessageBase& message, uint32_t index,
                                 const std::function<void(std::span<const uint8_t>)>& visit);

// A single string field of `type` read straight from an element's encoding
// (as MSRPBVisitEncodedElements hands it over), without building the
// element: what MSRPBGetString would answer for the decoded element. A view
// into `encodedMessage`.
std::optional<std::string_view> MSRPBReadEncodedString(std::span<const uint8_t> encodedMessage,
                                                       const MSRPBMessageType& type, uint32_t index);

// Typed forms over the wrapper classes of MSRPBMessages.h.
template <std::derived_from<NANOMessageBase> T>
std::optional<T> MSRPBGetMessage(const NANOMessageBase& message, uint32_t index) {
    std::optional<NANOMessageBase> nested = MSRPBGetMessage(message, index, T::type());
    if (!nested) return std::nullopt;
    return T(std::move(*nested));
}

template <std::derived_from<NANOMessageBase> T>
std::vector<T> MSRPBGetMessageArray(const NANOMessageBase& message, uint32_t index) {
    std::vector<T> out;
    for (NANOMessageBase& element : MSRPBGetMessageArray(message, index, T::type()))
        out.emplace_back(std::move(element));
    return out;
}

template <std::derived_from<NANOMessageBase> T>
std::vector<T> MSRPBTakeMessageArray(NANOMessageBase& message, uint32_t index) {
    std::vector<T> out;
    for (NANOMessageBase& element : MSRPBTakeMessageArray(message, index, T::type()))
        out.emplace_back(std::move(element));
    return out;
}
// A list handed over whole is moved in: nothing of it is copied.
template <std::derived_from<NANOMessageBase> T>
void MSRPBSetMessageArray(NANOMessageBase& message, uint32_t index, std::vector<T>&& values) {
    std::vector<NANOMessageBase*> pointers;
    pointers.reserve(values.size());
    for (T& value : values) pointers.push_back(&value);
    MSRPBMoveMessageArray(message, index, std::span<NANOMessageBase* const>(pointers));
}
template <std::derived_from<NANOMessageBase> T>
void MSRPBSetMessageArray(NANOMessageBase& message, uint32_t index, const std::vector<T>& values) {
    std::vector<const NANOMessageBase*> pointers;
    pointers.reserve(values.size());
    for (const T& value : values) pointers.push_back(&value);
    MSRPBSetMessageArray(message, index, std::span<const NANOMessageBase* const>(pointers));
}
