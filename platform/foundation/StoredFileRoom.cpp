#include "platform/foundation/StoredFileRoom.h"

#include <algorithm>
#include <iterator>

#include "platform/foundation/PropertyList.h"

namespace foundation {
namespace {

// A value's entry as the writer writes it, one level deep.
PropertyListBounds entrySize(const std::string& key, const Value& value) {
    const PropertyListSize size = propertyListSize(value, 1);
    return {size.values + 1, size.bytes + plistxml::keyBytes(1, plistxml::escapedLength(key))};
}

}  // namespace

PropertyListSalvagePlan storedFileSalvagePlan(const StoredFileBound& bound) {
    PropertyListSalvagePlan plan;
    plan.choose = [bound](const std::vector<PropertyListEntry>& entries, PropertyListBounds room) {
        const StoredFileChoice choice = chooseStoredFileEntries(entries, room, bound);
        std::vector<PropertyListKeepStep> steps;
        for (size_t i : choice.kept) steps.push_back({i});
        if (choice.part) steps.push_back({*choice.part, true, choice.partRoom});
        return steps;
    };
    plan.standing = [bound](std::string_view key, Value::Type type) {
        const int rank = bound.standing(key);
        const StoredKey* known = rank < 2 ? bound.storedKey(key) : nullptr;
        const bool typed = known && known->type != Value::Type::Absent && type != Value::Type::Absent;
        return typed && known->type != type ? 2 : rank;
    };
    plan.entryBound = [bound](std::string_view key) { return bound.entryBound(key); };
    return plan;
}

std::optional<StoredFileGivingWay> storedFileGivingWay(const Value::Dictionary& values, const StoredFileBound& bound,
                                                       const std::string& changed) {
    const PropertyListBounds limit = [&] {
        StoredFileScope scope(bound);
        return propertyListBounds();
    }();
    // The root dictionary and the file around it.
    const PropertyListSize root = propertyListSize(Value(Value::Dictionary{{"", Value(true)}}));
    const PropertyListBounds rootSize{root.values - 2, root.bytes - entrySize("", Value(true)).bytes};
    if (rootSize.values > limit.values || rootSize.bytes > limit.bytes) return std::nullopt;
    std::vector<PropertyListEntry> entries;
    std::vector<const std::pair<const std::string, Value>*> slots;
    entries.reserve(values.size());
    for (const auto& slot : values) {
        entries.push_back({slot.first, entrySize(slot.first, slot.second), true, slot.second.type()});
        slots.push_back(&slot);
    }
    const StoredFileChoice choice = chooseStoredFileEntries(
        entries, {limit.values - rootSize.values, limit.bytes - rootSize.bytes}, bound);
    StoredFileGivingWay giving;
    // A change lets only what stands below it give way, and what passes its
    // family's share; the owner's own change (none named) stands as its keys.
    // A value of another type or past its key's bound stands as foreign.
    const auto standing = [&](size_t i) {
        return bound.standing(entries[i].key, entries[i].type, entries[i].size);
    };
    const auto changedSlot = values.find(changed);
    const int changedStanding =
        changed.empty()                ? 1
        : changedSlot == values.end() ? bound.standing(changed)
                                       : standing(static_cast<size_t>(std::distance(values.begin(), changedSlot)));
    for (size_t i : choice.giving) {
        const std::string& key = slots[i]->first;
        if (key == changed || (standing(i) <= changedStanding && !bound.sharedFamily(key))) return std::nullopt;
        giving.given.emplace(slots[i]->first, slots[i]->second);
    }
    if (choice.part) {
        const auto& [key, value] = *slots[*choice.part];
        if (key != changed && bound.standing(key) <= changedStanding) return std::nullopt;
        const Value::List* list = value.list();
        if (!list && key == changed) return std::nullopt;
        // The leading items that fit what is left, the list's own lines
        // and its key included.
        Value::List kept, left;
        PropertyListBounds used = entrySize(key, Value(Value::List{}));
        used.bytes += plistxml::containerBytes(1, false, false) - plistxml::containerBytes(1, true, false);
        bool full = false;
        for (const Value& item : list ? *list : Value::List{}) {
            const PropertyListSize size = propertyListSize(item, 2);
            full = full || used.values + size.values > choice.partRoom.values ||
                   used.bytes + size.bytes > choice.partRoom.bytes;
            if (!full) {
                used.values += size.values;
                used.bytes += size.bytes;
            }
            (full ? left : kept).push_back(item);
        }
        if (!list) {
            giving.given.emplace(key, value);
        } else {
            giving.given.emplace(key, Value(std::move(left)));
            giving.trimmed.emplace(key, Value(std::move(kept)));
        }
    }
    if (giving.given.empty()) return std::nullopt;
    return giving;
}

void applyGivingWay(Value::Dictionary& values, const StoredFileGivingWay& giving) {
    for (const auto& [key, value] : giving.given) {
        if (auto trimmed = giving.trimmed.find(key); trimmed != giving.trimmed.end()) {
            values[key] = trimmed->second;
        } else {
            values.erase(key);
        }
    }
}

}  // namespace foundation
