#include "platform/foundation/StoredFileBounds.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

#include "platform/foundation/PropertyList.h"

namespace foundation {
namespace {

std::mutex storedFileBoundsMutex;
std::map<std::string, StoredFileBound>& storedFileBoundsTable() {
    static std::map<std::string, StoredFileBound> table;
    return table;
}

bool inFamily(std::string_view key, std::string_view family) {
    return key.substr(0, family.size() - 1) == family.substr(0, family.size() - 1);
}

// Whether `key` is a list of the user's that keeps its leading items (a
// history stored newest first) when it cannot stay whole.
bool leadsList(const StoredFileBound& bound, std::string_view key) {
    if (std::find(bound.userKeys.begin(), bound.userKeys.end(), key) == bound.userKeys.end()) return false;
    const StoredKey* known = bound.storedKey(key);
    return !known || known->type == Value::Type::List || known->type == Value::Type::Absent;
}

// Whether an entry may be a list: one, or one whose reader cannot tell.
bool listLike(const PropertyListEntry& entry) {
    return entry.type == Value::Type::List || entry.type == Value::Type::Absent;
}

bool fitsIn(const PropertyListBounds& size, const PropertyListBounds& room) {
    return size.values <= room.values && size.bytes <= room.bytes;
}

void takeFrom(PropertyListBounds& room, const PropertyListBounds& size) {
    room.values -= size.values;
    room.bytes -= size.bytes;
}

}  // namespace

bool StoredFileBound::knows(std::string_view key) const { return keys.empty() || storedKey(key); }

const StoredKey* StoredFileBound::storedKey(std::string_view key) const {
    for (const StoredKey& known : keys) {
        if (!known.key.empty() && known.key.back() == '*') {
            if (inFamily(key, known.key)) return &known;
        } else if (key == known.key) {
            return &known;
        }
    }
    return nullptr;
}

int StoredFileBound::standing(std::string_view key) const {
    if (std::find(userKeys.begin(), userKeys.end(), key) != userKeys.end()) return 0;
    return knows(key) ? 1 : 2;
}

int StoredFileBound::standing(std::string_view key, Value::Type type, std::optional<PropertyListBounds> size) const {
    const int rank = standing(key);
    if (rank == 2) return rank;
    if (!size || !fitsIn(*size, entryBound(key))) return 2;
    const StoredKey* known = storedKey(key);
    return !known || known->type == Value::Type::Absent || known->type == type ? rank : 2;
}

int StoredFileBound::standing(std::string_view key, const Value& value) const {
    const PropertyListSize size = propertyListSize(value, 1);
    const PropertyListBounds entry{size.values + 1, size.bytes + plistxml::keyBytes(1, plistxml::escapedLength(key))};
    const int rank = standing(key, value.type(), entry);
    const StoredKey* known = storedKey(key);
    if (rank == 2 || !known || known->items == Value::Type::Absent || !value.list()) return rank;
    for (const Value& item : *value.list())
        if (item.type() != known->items) return 2;
    return rank;
}

PropertyListBounds StoredFileBound::entryBound(std::string_view key) const {
    const StoredKey* known = storedKey(key);
    return known && known->bound ? *known->bound : bounds;
}

std::optional<size_t> StoredFileBound::sharedFamily(std::string_view key) const {
    for (size_t f = 0; f < shares.size(); ++f)
        if (inFamily(key, shares[f].first)) return f;
    return std::nullopt;
}

void setStoredFileBound(const std::string& name, StoredFileBound bound) {
    std::lock_guard lock(storedFileBoundsMutex);
    storedFileBoundsTable()[name] = std::move(bound);
}

std::optional<StoredFileBound> storedFileBound(const std::string& name) {
    std::lock_guard lock(storedFileBoundsMutex);
    auto found = storedFileBoundsTable().find(name);
    if (found == storedFileBoundsTable().end()) return std::nullopt;
    return found->second;
}

std::vector<std::pair<std::string, StoredFileBound>> storedFileBounds() {
    std::lock_guard lock(storedFileBoundsMutex);
    return {storedFileBoundsTable().begin(), storedFileBoundsTable().end()};
}

void resetStoredFileBounds() {
    std::lock_guard lock(storedFileBoundsMutex);
    storedFileBoundsTable().clear();
}

StoredFileChoice chooseStoredFileEntries(const std::vector<PropertyListEntry>& entries, PropertyListBounds room,
                                         const StoredFileBound& bound) {
    // Where each entry stands: the user's values in their order, then the
    // owner's keys, then the rest; within those two, the smallest first.
    // An entry stands as its key only with the type and within the bound
    // the table states for it, and only the first time its key is met.
    // `family` is the share an owner's key counts against (-1: none).
    struct Place {
        int32_t rank;
        uint32_t user;
        int32_t family;
    };
    std::vector<Place> places(entries.size());
    // The first entry of each key, found by sorting the entries' places by
    // key: a set of the keys would cost a copy of each.
    std::vector<uint32_t> byKey(entries.size());
    for (size_t i = 0; i < byKey.size(); ++i) byKey[i] = static_cast<uint32_t>(i);
    std::stable_sort(byKey.begin(), byKey.end(),
                     [&](uint32_t a, uint32_t b) { return entries[a].key < entries[b].key; });
    std::vector<bool> again(entries.size());
    for (size_t k = 1; k < byKey.size(); ++k)
        again[byKey[k]] = entries[byKey[k]].key == entries[byKey[k - 1]].key;
    for (size_t i = 0; i < entries.size(); ++i) {
        const PropertyListEntry& entry = entries[i];
        const bool first = !again[i];
        const int rank = first ? bound.standing(entry.key, entry.type,
                                                entry.sized ? std::optional(entry.size) : std::nullopt)
                               : 2;
        const auto user = std::find(bound.userKeys.begin(), bound.userKeys.end(), entry.key);
        const auto family = rank == 1 ? bound.sharedFamily(entry.key) : std::nullopt;
        places[i] = {rank, static_cast<uint32_t>(user - bound.userKeys.begin()),
                     family ? static_cast<int32_t>(*family) : -1};
        // A list of the user's past its bound or damaged inside still
        // stands for the leading items it holds within its bound.
        if (first && rank == 2 && listLike(entry) && leadsList(bound, entry.key))
            places[i].rank = 0;
    }
    std::vector<uint32_t>& order = byKey;
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    const auto largeness = [&](size_t i) {
        return entries[i].sized ? std::make_tuple(entries[i].size.bytes, entries[i].size.values)
                                : std::make_tuple(UINT64_MAX, UINT64_MAX);
    };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (places[a].rank != places[b].rank) return places[a].rank < places[b].rank;
        if (places[a].rank == 0) return places[a].user < places[b].user;
        return largeness(a) < largeness(b);
    });

    StoredFileChoice choice;
    std::vector<PropertyListBounds> familyRoom;
    for (const auto& share : bound.shares) familyRoom.push_back(share.second);
    for (size_t i : order) {
        const PropertyListEntry& entry = entries[i];
        const Place& place = places[i];
        const bool fits = entry.sized && fitsIn(entry.size, room) &&
                          (place.family < 0 || fitsIn(entry.size, familyRoom[static_cast<size_t>(place.family)]));
        if (fits && (place.rank != 0 || fitsIn(entry.size, bound.entryBound(entry.key)))) {
            takeFrom(room, entry.size);
            if (place.family >= 0) takeFrom(familyRoom[static_cast<size_t>(place.family)], entry.size);
            choice.kept.push_back(i);
        } else if (place.rank == 0 && !choice.part && listLike(entry) && leadsList(bound, entry.key)) {
            // The user's list keeps its leading items within its own bound
            // and what is left, never more: what follows keeps the rest.
            const PropertyListBounds own = bound.entryBound(entry.key);
            choice.part = i;
            choice.partRoom = {std::min(room.values, own.values), std::min(room.bytes, own.bytes)};
            takeFrom(room, choice.partRoom);
        } else {
            choice.giving.push_back(i);
        }
    }
    std::stable_sort(choice.giving.begin(), choice.giving.end(),
                     [&](size_t a, size_t b) { return largeness(a) > largeness(b); });
    return choice;
}

}  // namespace foundation
