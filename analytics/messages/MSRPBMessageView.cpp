#include "analytics/messages/MSRPBMessageView.h"

#include <bit>
#include <string>
#include <variant>
#include <vector>

#include "analytics/messages/MSRPBRuntime.h"

const NANOCell* MSRPBMessageView::cell(uint32_t index, uint32_t kinds) const {
    if (!info_ || index >= info_->type->fieldCount || index >= info_->fields.size()) return nullptr;
    if ((info_->type->fields[index].word & kinds) == 0) return nullptr;
    return &info_->fields[index];
}

bool MSRPBMessageView::hasField(uint32_t index) const {
    const NANOCell* found = cell(index, ~uint32_t{0});
    return found && !std::holds_alternative<std::monostate>(*found);
}

int32_t MSRPBMessageView::int32(uint32_t index) const {
    const NANOCell* found = cell(index, kMSRPBKindEnum | kMSRPBKindInt32 | kMSRPBKindUInt32);
    const uint64_t* value = found ? std::get_if<uint64_t>(found) : nullptr;
    return value ? static_cast<int32_t>(static_cast<uint32_t>(*value)) : 0;
}

bool MSRPBMessageView::boolean(uint32_t index) const {
    const NANOCell* found = cell(index, kMSRPBKindBool);
    const uint64_t* value = found ? std::get_if<uint64_t>(found) : nullptr;
    return value && (*value & 0xFF) != 0;
}

double MSRPBMessageView::number(uint32_t index) const {
    const NANOCell* found = cell(index, kMSRPBKindDouble);
    const uint64_t* value = found ? std::get_if<uint64_t>(found) : nullptr;
    return value ? std::bit_cast<double>(*value) : 0.0;
}

std::optional<std::string_view> MSRPBMessageView::text(uint32_t index) const {
    const NANOCell* found = cell(index, kMSRPBKindString);
    const std::string* value = found ? std::get_if<std::string>(found) : nullptr;
    if (!value || !MSRPBIsUTF8(*value)) return std::nullopt;
    return std::string_view(*value);
}

MSRPBMessageView MSRPBMessageView::message(uint32_t index) const {
    const NANOCell* found = cell(index, kMSRPBKindMessage);
    const NANOMessageInfoPtr* value = found ? std::get_if<NANOMessageInfoPtr>(found) : nullptr;
    return MSRPBMessageView(value ? value->get() : nullptr);
}

size_t MSRPBMessageView::elementCount(uint32_t index) const {
    const NANOCell* found = cell(index, kMSRPBKindMessage);
    if (!found) return 0;
    if (const auto* elements = std::get_if<std::vector<NANOMessageInfoPtr>>(found)) return elements->size();
    if (const auto* encoded = std::get_if<NANOEncodedElements>(found)) return encoded->count;
    return 0;
}

bool MSRPBMessageView::forEachElement(uint32_t index, const std::function<bool(MSRPBMessageView)>& visit) const {
    const NANOCell* found = cell(index, kMSRPBKindMessage);
    if (!found || (info_->type->fields[index].word & kMSRPBLabelRepeated) == 0) return true;
    if (const auto* elements = std::get_if<std::vector<NANOMessageInfoPtr>>(found)) {
        for (const NANOMessageInfoPtr& element : *elements)
            if (!visit(MSRPBMessageView(element.get()))) return false;
        return true;
    }
    if (const auto* encoded = std::get_if<NANOEncodedElements>(found)) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(info_->type->fields[index].element);
        NANOEncodedElementsReader reader(encoded->bytes);
        std::span<const uint8_t> bytes;
        while (reader.next(bytes)) {
            NANOMessageInfoPtr element = NANOMessageInfoCreate(type);
            if (!NANOMessageInfoDecode(*element, bytes.data(), bytes.size())) continue;
            if (!visit(MSRPBMessageView(element.get()))) return false;
        }
    }
    return true;
}
