#include "analytics/messages/NANOMessageInfo.h"

#include <algorithm>

#include "analytics/messages/MSRPBLog.h"
#include "analytics/messages/NANOLayout.h"

NANOMessageInfoPtr NANOMessageInfoCreate(const MSRPBMessageType& type) {
    auto info = std::make_unique<NANOMessageInfo>();
    info->type = &type;
    info->fields.resize(type.fieldCount);
    for (uint32_t i = 0; i < type.fieldCount; ++i) {
        const uint32_t word = type.fields[i].word;
        if (!NANOIsRepeated(word)) continue;
        switch (NANOKindOf(word)) {
            case kMSRPBKindMessage:
                info->fields[i] = std::vector<NANOMessageInfoPtr>();
                break;
            case kMSRPBKindString:
            case kMSRPBKindBytes:
                info->fields[i] = std::vector<std::string>();
                break;
            default:
                info->fields[i] = std::vector<uint64_t>();
                break;
        }
    }
    return info;
}

NANOMessageInfoPtr NANOMessageInfoCopy(const NANOMessageInfo& info) {
    auto copy = std::make_unique<NANOMessageInfo>();
    copy->type = info.type;
    copy->fields.reserve(info.fields.size());
    for (const NANOCell& cell : info.fields) {
        if (const auto* nested = std::get_if<NANOMessageInfoPtr>(&cell)) {
            copy->fields.emplace_back(*nested ? NANOMessageInfoCopy(**nested) : nullptr);
        } else if (const auto* elements = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell)) {
            std::vector<NANOMessageInfoPtr> copies;
            copies.reserve(elements->size());
            for (const NANOMessageInfoPtr& element : *elements)
                copies.push_back(NANOMessageInfoCopy(*element));
            copy->fields.emplace_back(std::move(copies));
        } else {
            std::visit(
                [&](const auto& value) {
                    using T = std::decay_t<decltype(value)>;
                    if constexpr (!std::is_same_v<T, NANOMessageInfoPtr> &&
                                  !std::is_same_v<T, std::vector<NANOMessageInfoPtr>>) {
                        copy->fields.emplace_back(value);
                    }
                },
                cell);
        }
    }
    return copy;
}

namespace {

// A repeated message field's elements as trees: the cell's own, or decoded
// from its encoded form into `decoded`.
const std::vector<NANOMessageInfoPtr>* elementTrees(const NANOCell& cell, const MSRPBMessageType& elementType,
                                                    std::vector<NANOMessageInfoPtr>& decoded,
                                                    bool& complete) {
    if (const auto* trees = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell)) return trees;
    if (const auto* encoded = std::get_if<NANOEncodedElements>(&cell)) {
        decoded = NANOEncodedElementsDecode(*encoded, elementType);
        complete = decoded.size() == encoded->count;
        return &decoded;
    }
    return nullptr;
}

// Compared by content, whichever form each side holds. An encoded element
// that does not decode equals nothing.
bool sameElements(const NANOCell& left, const NANOCell& right, const MSRPBMessageType& elementType) {
    std::vector<NANOMessageInfoPtr> leftDecoded, rightDecoded;
    bool complete = true;
    const auto* leftTrees = elementTrees(left, elementType, leftDecoded, complete);
    const auto* rightTrees = elementTrees(right, elementType, rightDecoded, complete);
    if (leftTrees == nullptr || rightTrees == nullptr || !complete) return false;
    return std::equal(leftTrees->begin(), leftTrees->end(), rightTrees->begin(), rightTrees->end(),
                      [](const NANOMessageInfoPtr& x, const NANOMessageInfoPtr& y) {
                          return x && y ? NANOMessageInfoEquals(*x, *y) : !x && !y;
                      });
}

}  // namespace

bool NANOMessageInfoEquals(const NANOMessageInfo& a, const NANOMessageInfo& b) {
    if (a.type != b.type || a.fields.size() != b.fields.size()) return false;
    auto sameMessage = [](const NANOMessageInfoPtr& x, const NANOMessageInfoPtr& y) {
        return x && y ? NANOMessageInfoEquals(*x, *y) : !x && !y;
    };
    for (size_t i = 0; i < a.fields.size(); ++i) {
        const NANOCell& left = a.fields[i];
        const NANOCell& right = b.fields[i];
        const auto* leftEncoded = std::get_if<NANOEncodedElements>(&left);
        const auto* rightEncoded = std::get_if<NANOEncodedElements>(&right);
        if (leftEncoded != nullptr || rightEncoded != nullptr) {
            if (leftEncoded != nullptr && rightEncoded != nullptr && *leftEncoded == *rightEncoded) continue;
            if (!sameElements(left, right, MSRPBMessageTypeFor(a.type->fields[i].element))) return false;
            continue;
        }
        if (left.index() != right.index()) return false;
        if (const auto* nested = std::get_if<NANOMessageInfoPtr>(&left)) {
            if (!sameMessage(*nested, std::get<NANOMessageInfoPtr>(right))) return false;
        } else if (const auto* list = std::get_if<std::vector<NANOMessageInfoPtr>>(&left)) {
            const auto& other = std::get<std::vector<NANOMessageInfoPtr>>(right);
            if (!std::equal(list->begin(), list->end(), other.begin(), other.end(), sameMessage))
                return false;
        } else if (left != right) {
            return false;
        }
    }
    return true;
}

bool NANOMessageInfoClearField(NANOMessageInfo& info, uint32_t index) {
    if (index >= info.fields.size()) {
        MSRPBLog(45005, "<ERROR> %s: Cannot deallocate field %u: Unknown field", info.type->name, index);
        return false;
    }
    NANOCell& cell = info.fields[index];
    if (auto* v = std::get_if<std::vector<uint64_t>>(&cell))
        v->clear();
    else if (auto* s = std::get_if<std::vector<std::string>>(&cell))
        s->clear();
    else if (auto* m = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell))
        m->clear();
    else if (std::holds_alternative<NANOEncodedElements>(cell))
        cell = std::vector<NANOMessageInfoPtr>();
    else
        cell = std::monostate{};
    return true;
}
