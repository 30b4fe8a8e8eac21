#include "analytics/messages/MSRPBRuntime.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <unicode/ustring.h>

#include "analytics/messages/MSRPBLog.h"

namespace {

// The wrapper's info when it has one and `index` lies inside the message;
// otherwise logs why and answers nullptr. `operation` names the accessor in
// the log line ("GetBool").
const NANOMessageInfo* checkedInfo(const NANOMessageBase& message, uint32_t index, const char* operation) {
    const NANOMessageInfo* info = message.messageInfo();
    if (info == nullptr) {
        MSRPBLog(47000, "ProtocolBuffer message hasn't been initialized. %s can't be performed", operation);
        return nullptr;
    }
    if (index >= info->type->fieldCount) {
        MSRPBLog(47001,
                 "<Nano/Failure> Field index %u is beyond the %u fields of message %s. %s can't be performed",
                 index, info->type->fieldCount, info->type->name, operation);
        return nullptr;
    }
    return info;
}

NANOMessageInfo* checkedInfo(NANOMessageBase& message, uint32_t index, const char* operation) {
    return const_cast<NANOMessageInfo*>(
        checkedInfo(static_cast<const NANOMessageBase&>(message), index, operation));
}

uint32_t wordOf(const NANOMessageInfo& info, uint32_t index) {
    return info.type->fields[index].word;
}

bool kindFits(const NANOMessageInfo& info, uint32_t index, bool fits, const char* kindName) {
    if (!fits) {
        MSRPBLog(47002, "<Nano/Failure> Field type isn't %s. Message: %s, field ID: %u", kindName,
                 info.type->name, index);
    }
    return fits;
}

bool isBool(uint32_t w) {
    return (w & 0x28) == 0x20;
}
bool isInt32(uint32_t w) {
    return (w & 0x1C0) != 0 && (w & kMSRPBLabelRepeated) == 0;
}
bool isInt64(uint32_t w) {
    return (w & 0x600) != 0 && (w & kMSRPBLabelRepeated) == 0;
}
bool isDouble(uint32_t w) {
    return (w & 0x1008) == 0x1000;
}
bool isString(uint32_t w) {
    return (w & 0x2008) == 0x2000;
}
bool isMessage(uint32_t w) {
    return (w & 0x4008) == 0x4000;
}
bool isRepeated(uint32_t w) {
    return (w & kMSRPBLabelRepeated) != 0;
}

uint64_t scalarOf(const NANOMessageInfo& info, uint32_t index) {
    const auto* value = std::get_if<uint64_t>(&info.fields[index]);
    return value ? *value : 0;
}

// The element type a message field holds, checked against what the caller
// expects: a mismatch would make the glue read one message's cells through
// another message's table.
bool elementTypeFits(const NANOMessageInfo& info, uint32_t index, const MSRPBMessageType& type) {
    const MSRPBMessageType& declared = MSRPBMessageTypeFor(info.type->fields[index].element);
    if (&declared == &type) return true;
    MSRPBLog(47003, "<Nano/Failure> Field %u of message %s holds %s, not %s", index, info.type->name,
             declared.name, type.name);
    return false;
}

// Whether `value` may be an element of the repeated message field `index`.
bool messageElementFits(const NANOMessageInfo& info, uint32_t index, const NANOMessageBase* value) {
    if (value == nullptr || value->messageInfo() == nullptr) {
        MSRPBLog(47010, "<ERROR> Invalid object type. Message fields expect a message. Message: %s, field ID: %u",
                 info.type->name, index);
        return false;
    }
    return elementTypeFits(info, index, value->messageType());
}

}  // namespace

bool MSRPBHasField(const NANOMessageBase& message, uint32_t index) {
    if (message.messageInfo() == nullptr) {
        MSRPBLog(47000,
                 "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
                 "Message name %s",
                 message.messageID());
        return false;
    }
    const NANOMessageInfo* info = checkedInfo(message, index, "HasField");
    if (info == nullptr) return false;
    if (isRepeated(wordOf(*info, index))) return true;
    return !std::holds_alternative<std::monostate>(info->fields[index]);
}

void MSRPBClearField(NANOMessageBase& message, uint32_t index) {
    // The clearing itself refuses (and reports) an index outside the message.
    if (NANOMessageInfo* info = message.messageInfo()) {
        NANOMessageInfoClearField(*info, index);
    } else {
        MSRPBLog(47000, "ProtocolBuffer message hasn't been initialized. ClearField can't be performed");
    }
}

bool MSRPBGetBool(const NANOMessageBase& message, uint32_t index) {
    const NANOMessageInfo* info = checkedInfo(message, index, "GetBool");
    if (info == nullptr || !kindFits(*info, index, isBool(wordOf(*info, index)), "a scalar BOOL"))
        return false;
    return (scalarOf(*info, index) & 0xFF) != 0;
}

void MSRPBSetBool(NANOMessageBase& message, uint32_t index, bool value) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetBool");
    if (info == nullptr || !kindFits(*info, index, isBool(wordOf(*info, index)), "a scalar BOOL")) return;
    info->fields[index] = uint64_t{value ? 1u : 0u};
}

int32_t MSRPBGetInt32(const NANOMessageBase& message, uint32_t index) {
    const NANOMessageInfo* info = checkedInfo(message, index, "GetInt32");
    if (info == nullptr || !kindFits(*info, index, isInt32(wordOf(*info, index)), "a scalar INT32")) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(scalarOf(*info, index)));
}

void MSRPBSetInt32(NANOMessageBase& message, uint32_t index, int32_t value) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetInt32");
    if (info == nullptr || !kindFits(*info, index, isInt32(wordOf(*info, index)), "a scalar INT32")) return;
    info->fields[index] = uint64_t{static_cast<uint32_t>(value)};
}

int64_t MSRPBGetInt64(const NANOMessageBase& message, uint32_t index) {
    const NANOMessageInfo* info = checkedInfo(message, index, "GetInt64");
    if (info == nullptr || !kindFits(*info, index, isInt64(wordOf(*info, index)), "a scalar INT64")) return 0;
    return static_cast<int64_t>(scalarOf(*info, index));
}

void MSRPBSetInt64(NANOMessageBase& message, uint32_t index, int64_t value) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetInt64");
    if (info == nullptr || !kindFits(*info, index, isInt64(wordOf(*info, index)), "a scalar INT64")) return;
    info->fields[index] = static_cast<uint64_t>(value);
}

double MSRPBGetDouble(const NANOMessageBase& message, uint32_t index) {
    const NANOMessageInfo* info = checkedInfo(message, index, "GetDouble");
    if (info == nullptr || !kindFits(*info, index, isDouble(wordOf(*info, index)), "a scalar DOUBLE"))
        return 0.0;
    return std::bit_cast<double>(scalarOf(*info, index));
}

void MSRPBSetDouble(NANOMessageBase& message, uint32_t index, double value) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetDouble");
    if (info == nullptr || !kindFits(*info, index, isDouble(wordOf(*info, index)), "a scalar DOUBLE")) return;
    info->fields[index] = std::bit_cast<uint64_t>(value);
}

bool MSRPBIsUTF8(std::string_view text) {
    // Nearly all text is ASCII: eight bytes at a time until a byte is not.
    size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + at, sizeof word);
        if (word & 0x8080808080808080u) break;
    }
    for (const char c : text.substr(at)) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            UErrorCode status = U_ZERO_ERROR;
            int32_t length = 0;
            u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
            return status != U_INVALID_CHAR_FOUND;
        }
    }
    return true;
}

std::optional<std::string> MSRPBGetString(const NANOMessageBase& message, uint32_t index) {
    const NANOMessageInfo* info = checkedInfo(message, index, "GetString");
    if (info == nullptr || !kindFits(*info, index, isString(wordOf(*info, index)), "a scalar STRING")) {
        return std::nullopt;
    }
    const auto* text = std::get_if<std::string>(&info->fields[index]);
    if (text == nullptr || !MSRPBIsUTF8(*text)) return std::nullopt;
    return *text;
}

void MSRPBSetString(NANOMessageBase& message, uint32_t index, std::optional<std::string_view> value) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetString");
    if (info == nullptr || !kindFits(*info, index, isString(wordOf(*info, index)), "a scalar STRING")) return;
    if (!value) {
        NANOMessageInfoClearField(*info, index);
        return;
    }
    info->fields[index] = std::string(*value);
}

std::optional<NANOMessageBase> MSRPBGetMessage(const NANOMessageBase& message, uint32_t index,
                                               const MSRPBMessageType& type) {
    const NANOMessageInfo* info = checkedInfo(message, index, "GetMessage");
    if (info == nullptr || !kindFits(*info, index, isMessage(wordOf(*info, index)), "a scalar MESSAGE") ||
        !elementTypeFits(*info, index, type)) {
        return std::nullopt;
    }
    const auto* nested = std::get_if<NANOMessageInfoPtr>(&info->fields[index]);
    if (nested == nullptr || !*nested) return std::nullopt;
    return NANOMessageBase::initWithMessageInfo(type, nested->get());
}

void MSRPBSetMessage(NANOMessageBase& message, uint32_t index, const NANOMessageBase& value) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetMessage");
    if (info == nullptr || !kindFits(*info, index, isMessage(wordOf(*info, index)), "a scalar MESSAGE"))
        return;
    if (value.messageInfo() == nullptr) {
        MSRPBLog(47004, "<ERROR> SetMessage: the value of field %u of message %s holds no message", index,
                 info->type->name);
        return;
    }
    if (!elementTypeFits(*info, index, value.messageType())) return;
    info->fields[index] = NANOMessageInfoCopy(*value.messageInfo());
}

std::vector<MSRPBValue> MSRPBGetArray(const NANOMessageBase& message, uint32_t index) {
    std::vector<MSRPBValue> out;
    const NANOMessageInfo* info = checkedInfo(message, index, "GetArray");
    if (info == nullptr) return out;
    const uint32_t word = wordOf(*info, index);
    if (!kindFits(*info, index, isRepeated(word), "REPEATED")) return out;
    const NANOCell& cell = info->fields[index];
    if (const auto* texts = std::get_if<std::vector<std::string>>(&cell)) {
        out.reserve(texts->size());
        for (const std::string& text : *texts) {
            if (word & kMSRPBKindBytes) {
                out.emplace_back(std::vector<uint8_t>(text.begin(), text.end()));
            } else if (MSRPBIsUTF8(text)) {
                out.emplace_back(text);
            } else {
                MSRPBLog(47005, "<ERROR> Unable to convert byte data to a string. Message: %s, field ID: %u",
                         info->type->name, index);
            }
        }
        return out;
    }
    const auto* scalars = std::get_if<std::vector<uint64_t>>(&cell);
    if (scalars == nullptr) {
        MSRPBLog(47006, "<ERROR> Field %u of message %s holds messages; read it with MSRPBGetMessageArray",
                 index, info->type->name);
        return out;
    }
    out.reserve(scalars->size());
    for (uint64_t bits : *scalars) {
        if (word & kMSRPBKindBool)
            out.emplace_back((bits & 0xFF) != 0);
        else if (word & (kMSRPBKindInt32 | kMSRPBKindEnum))
            out.emplace_back(static_cast<int32_t>(static_cast<uint32_t>(bits)));
        else if (word & kMSRPBKindUInt32)
            out.emplace_back(static_cast<uint32_t>(bits));
        else if (word & kMSRPBKindInt64)
            out.emplace_back(static_cast<int64_t>(bits));
        else if (word & kMSRPBKindUInt64)
            out.emplace_back(bits);
        else if (word & kMSRPBKindFloat)
            out.emplace_back(std::bit_cast<float>(static_cast<uint32_t>(bits)));
        else if (word & kMSRPBKindDouble)
            out.emplace_back(std::bit_cast<double>(bits));
    }
    return out;
}

namespace {

// A floating-point value bound for an integer field, clamped into the 64-bit
// range (NaN gives 0) instead of being converted out of range.
int64_t saturated(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9223372036854775807.0) return INT64_MAX;
    if (value <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(value);
}

// The number a numeric element carries, in the form the field stores; nullopt
// for text and bytes.
std::optional<uint64_t> numericBits(uint32_t word, const MSRPBValue& value) {
    return std::visit(
        [word](const auto& number) -> std::optional<uint64_t> {
            using T = std::decay_t<decltype(number)>;
            if constexpr (!std::is_arithmetic_v<T>) {
                return std::nullopt;
            } else {
                if (word & kMSRPBKindBool) return number != 0 ? 1 : 0;
                if (word & kMSRPBKindFloat) return std::bit_cast<uint32_t>(static_cast<float>(number));
                if (word & kMSRPBKindDouble) return std::bit_cast<uint64_t>(static_cast<double>(number));
                uint64_t bits;
                if constexpr (std::is_floating_point_v<T>)
                    bits = static_cast<uint64_t>(saturated(number));
                else
                    bits = static_cast<uint64_t>(number);
                if (word & (kMSRPBKindInt64 | kMSRPBKindUInt64)) return bits;
                return static_cast<uint32_t>(bits);
            }
        },
        value);
}

}  // namespace

void MSRPBSetArray(NANOMessageBase& message, uint32_t index, const std::vector<MSRPBValue>& values) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetArray");
    if (info == nullptr) return;
    const uint32_t word = wordOf(*info, index);
    if (!kindFits(*info, index, isRepeated(word), "REPEATED")) return;
    if (word & kMSRPBKindMessage) {
        MSRPBLog(47007, "<ERROR> Field %u of message %s holds messages; write it with MSRPBSetMessageArray",
                 index, info->type->name);
        return;
    }
    NANOMessageInfoClearField(*info, index);
    NANOCell& cell = info->fields[index];
    if (auto* texts = std::get_if<std::vector<std::string>>(&cell)) {
        const bool bytes = (word & kMSRPBKindBytes) != 0;
        texts->reserve(values.size());
        for (const MSRPBValue& value : values) {
            if (!bytes && std::holds_alternative<std::string>(value)) {
                texts->push_back(std::get<std::string>(value));
            } else if (bytes && std::holds_alternative<std::vector<uint8_t>>(value)) {
                const auto& data = std::get<std::vector<uint8_t>>(value);
                texts->emplace_back(data.begin(), data.end());
            } else {
                MSRPBLog(47008, "<ERROR> Invalid object type. %s fields expect %s. Message: %s, field ID: %u",
                         bytes ? "Bytes" : "String", bytes ? "bytes" : "text", info->type->name, index);
                texts->clear();
                return;
            }
        }
        return;
    }
    auto& scalars = std::get<std::vector<uint64_t>>(cell);
    scalars.reserve(values.size());
    for (const MSRPBValue& value : values) {
        std::optional<uint64_t> bits = numericBits(word, value);
        if (!bits) {
            MSRPBLog(47009,
                     "<ERROR> Invalid object type. Numeric fields expect numbers. Message: %s, field ID: %u",
                     info->type->name, index);
            scalars.clear();
            return;
        }
        scalars.push_back(*bits);
    }
}

namespace {

bool isMessageArrayOf(const NANOMessageInfo& info, uint32_t index, const MSRPBMessageType& type) {
    const uint32_t word = wordOf(info, index);
    return kindFits(info, index, isRepeated(word) && (word & kMSRPBKindMessage), "a REPEATED MESSAGE") &&
           elementTypeFits(info, index, type);
}

std::vector<NANOMessageBase> wrapElements(std::vector<NANOMessageInfoPtr> elements, const MSRPBMessageType& type) {
    std::vector<NANOMessageBase> out;
    out.reserve(elements.size());
    for (NANOMessageInfoPtr& element : elements) {
        if (auto taken = NANOMessageBase::initWithMessageInfo(type, std::move(element)))
            out.push_back(std::move(*taken));
    }
    return out;
}

}  // namespace

std::vector<NANOMessageBase> MSRPBGetMessageArray(const NANOMessageBase& message, uint32_t index,
                                                  const MSRPBMessageType& type) {
    const NANOMessageInfo* info = checkedInfo(message, index, "GetArray");
    if (info == nullptr || !isMessageArrayOf(*info, index, type)) return {};
    if (const auto* encoded = std::get_if<NANOEncodedElements>(&info->fields[index]))
        return wrapElements(NANOEncodedElementsDecode(*encoded, type), type);
    std::vector<NANOMessageBase> out;
    const auto& elements = std::get<std::vector<NANOMessageInfoPtr>>(info->fields[index]);
    out.reserve(elements.size());
    for (const NANOMessageInfoPtr& element : elements) {
        if (auto copy = NANOMessageBase::initWithMessageInfo(type, element.get()))
            out.push_back(std::move(*copy));
    }
    return out;
}

std::vector<NANOMessageBase> MSRPBTakeMessageArray(NANOMessageBase& message, uint32_t index,
                                                   const MSRPBMessageType& type) {
    NANOMessageInfo* info = checkedInfo(message, index, "GetArray");
    if (info == nullptr || !isMessageArrayOf(*info, index, type)) return {};
    std::vector<NANOMessageInfoPtr> elements;
    if (const auto* encoded = std::get_if<NANOEncodedElements>(&info->fields[index])) {
        elements = NANOEncodedElementsDecode(*encoded, type);
        NANOMessageInfoClearField(*info, index);
    } else {
        auto& held = std::get<std::vector<NANOMessageInfoPtr>>(info->fields[index]);
        elements = std::move(held);
        held.clear();
    }
    return wrapElements(std::move(elements), type);
}

void MSRPBMoveMessageArray(NANOMessageBase& message, uint32_t index, std::span<NANOMessageBase* const> values) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetArray");
    if (info == nullptr) return;
    const uint32_t word = wordOf(*info, index);
    if (!kindFits(*info, index, isRepeated(word) && (word & kMSRPBKindMessage), "a REPEATED MESSAGE")) return;
    NANOMessageInfoClearField(*info, index);
    // Every element is checked before any is taken, so a refused list leaves
    // the caller's messages as they were.
    for (const NANOMessageBase* value : values)
        if (!messageElementFits(*info, index, value)) return;
    auto& elements = std::get<std::vector<NANOMessageInfoPtr>>(info->fields[index]);
    elements.reserve(values.size());
    for (NANOMessageBase* value : values) elements.push_back(value->takeMessageInfo());
}

void MSRPBSetMessageArray(NANOMessageBase& message, uint32_t index,
                          std::span<const NANOMessageBase* const> values) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetArray");
    if (info == nullptr) return;
    const uint32_t word = wordOf(*info, index);
    if (!kindFits(*info, index, isRepeated(word) && (word & kMSRPBKindMessage), "a REPEATED MESSAGE")) return;
    NANOMessageInfoClearField(*info, index);
    auto& elements = std::get<std::vector<NANOMessageInfoPtr>>(info->fields[index]);
    elements.reserve(values.size());
    for (const NANOMessageBase* value : values) {
        if (!messageElementFits(*info, index, value)) {
            elements.clear();
            return;
        }
        elements.push_back(NANOMessageInfoCopy(*value->messageInfo()));
    }
}

void MSRPBAppendEncodedElement(std::string& elements, std::span<const uint8_t> encodedMessage) {
    NANOEncodedElementsAppend(elements, encodedMessage.data(), encodedMessage.size());
}

void MSRPBSetEncodedMessageArray(NANOMessageBase& message, uint32_t index, std::string elements) {
    NANOMessageInfo* info = checkedInfo(message, index, "SetArray");
    if (info == nullptr) return;
    const uint32_t word = wordOf(*info, index);
    if (!kindFits(*info, index, isRepeated(word) && (word & kMSRPBKindMessage), "a REPEATED MESSAGE")) return;
    // The elements themselves are trusted; only their framing is checked, so
    // that the encoder can rely on the count.
    std::optional<size_t> count = NANOEncodedElementsCount(elements);
    if (!count) {
        MSRPBLog(47011, "<ERROR> Encoded elements of field %u of message %s end inside an element", index,
                 info->type->name);
        NANOMessageInfoClearField(*info, index);
        return;
    }
    if (*count == 0) {
        NANOMessageInfoClearField(*info, index);
        return;
    }
    info->fields[index] = NANOEncodedElements{std::move(elements), *count};
}

bool MSRPBIsEncodedMessageArray(const NANOMessageBase& message, uint32_t index) {
    const NANOMessageInfo* info = message.messageInfo();
    return info != nullptr && index < info->fields.size() &&
           std::holds_alternative<NANOEncodedElements>(info->fields[index]);
}

size_t MSRPBVisitEncodedElements(const NANOMessageBase& message, uint32_t index,
                                 const std::function<void(std::span<const uint8_t>)>& visit) {
    const NANOMessageInfo* info = checkedInfo(message, index, "GetArray");
    if (info == nullptr) return 0;
    const uint32_t word = wordOf(*info, index);
    if (!kindFits(*info, index, isRepeated(word) && (word & kMSRPBKindMessage), "a REPEATED MESSAGE")) return 0;
    const NANOCell& cell = info->fields[index];
    size_t visited = 0;
    if (const auto* encoded = std::get_if<NANOEncodedElements>(&cell)) {
        NANOEncodedElementsReader reader(encoded->bytes);
        std::span<const uint8_t> element;
        while (reader.next(element)) {
            visit(element);
            ++visited;
        }
        return visited;
    }
    for (const NANOMessageInfoPtr& element : std::get<std::vector<NANOMessageInfoPtr>>(cell)) {
        std::optional<std::vector<uint8_t>> bytes = NANOMessageInfoEncode(*element);
        if (!bytes) continue;
        visit(*bytes);
        ++visited;
    }
    return visited;
}

std::optional<std::string_view> MSRPBReadEncodedString(std::span<const uint8_t> encodedMessage,
                                                       const MSRPBMessageType& type, uint32_t index) {
    if (index >= type.fieldCount || !isString(type.fields[index].word)) return std::nullopt;
    std::optional<std::string_view> text =
        NANOMessageInfoReadEncodedText(type, encodedMessage.data(), encodedMessage.size(), index);
    if (!text || !MSRPBIsUTF8(*text)) return std::nullopt;
    return text;
}
