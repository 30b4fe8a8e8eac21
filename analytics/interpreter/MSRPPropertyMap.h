#pragma once
// The named members of maps, arrays, functions and scopes, kept in the order
// they were first set. Small maps (the usual scope) are searched in place; an
// index is built once a map grows.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "analytics/interpreter/MSRPRuntimeValue.h"

class MSRPPropertyMap {
  public:
    struct Entry {
        std::string name;
        MSRPValue value;
        bool immutable = false;
        uint64_t key = 0;  // leadingKey(name)
    };

    // The first eight bytes of a name as one number (zero-filled): two names
    // of the same length up to eight bytes are equal exactly when their keys are.
    static uint64_t leadingKey(std::string_view name) {
        uint64_t key = 0;
        std::memcpy(&key, name.data(), name.size() < 8 ? name.size() : 8);
        return key;
    }

    // One bit of a 64-bit summary per name, so that most searches for a name
    // that a map does not hold end without comparing any text.
    static uint64_t nameBit(std::string_view name) {
        if (name.empty()) return 1;
        const unsigned first = static_cast<unsigned char>(name.front());
        const unsigned last = static_cast<unsigned char>(name.back());
        return uint64_t{1} << ((name.size() * 7 + first * 3 + last) & 63);
    }

    MSRPPropertyMap() = default;
    MSRPPropertyMap(MSRPPropertyMap&&) noexcept = default;
    MSRPPropertyMap& operator=(MSRPPropertyMap&&) noexcept = default;
    ~MSRPPropertyMap();

    bool hasName(std::string_view name) const { return find(name) != nullptr; }
    // Both do nothing, silently, when the map is frozen or the name immutable.
    void setValue(const MSRPValue& value, std::string_view name) { store(value, name, false); }
    void setImmutableValue(const MSRPValue& value, std::string_view name) { store(value, name, true); }
    // Undefined for an absent name.
    MSRPValue valueForName(std::string_view name) const {
        const Entry* entry = find(name);
        return entry ? entry->value : MSRPValue();
    }
    // The stored value itself, or null when absent.
    const MSRPValue* lookup(std::string_view name) const {
        const Entry* entry = find(name);
        return entry ? &entry->value : nullptr;
    }
    void removeValueForName(std::string_view name);
    void makeImmutable() { immutable_ = true; }
    bool isImmutable() const { return immutable_; }
    std::vector<std::string> allNames() const;
    using Entries = MSRPMemory::List<Entry>;
    const Entries& entries() const { return entries_; }
    // Whether a name whose bit is `bit` may be here (false: certainly not).
    bool mayHold(uint64_t bit) const { return (nameBits_ & bit) != 0; }
    // The entry at `slot` when it binds `name`, else null: a remembered
    // position checked before it is trusted.
    // `key` is leadingKey(name).
    Entry* entryAt(size_t slot, std::string_view name, uint64_t key) {
        if (slot >= entries_.size()) return nullptr;
        Entry& entry = entries_[slot];
        return sameName(entry, name, key) ? &entry : nullptr;
    }
    // The position of `name` (whose bit and key are given), or -1.
    ptrdiff_t slotOf(std::string_view name, uint64_t bit, uint64_t key) const {
        if (!mayHold(bit)) return -1;
        const Entry* entry = find(name, key);
        return entry ? entry - entries_.data() : -1;
    }
    // Adds a binding for a name known to be absent (a fresh call scope's
    // parameters, all distinct); `key` is leadingKey(name).
    void appendAbsent(const MSRPValue& value, std::string_view name, uint64_t key) {
        const size_t capacity = entries_.capacity();
        Entry& entry = entries_.emplace_back();
        entry.name.assign(name.data(), name.size());
        entry.value = value;
        entry.key = key;
        nameBits_ |= nameBit(name);
        account(1, entries_.back().name);
        if (entries_.size() >= kIndexedFrom) indexAppended(capacity);
    }
    size_t count() const { return entries_.size(); }
    void reserve(size_t count) {
        if (entries_.capacity() < count) entries_.reserve(count);
    }
    // Removes every entry and the frozen state, keeping the room.
    void clear();
    // Moves every entry out (the collector's sweep); the map is left empty.
    Entries takeEntries();
    // The bytes of the room for entries (what a kept scope holds on to).
    int64_t roomBytes() const { return static_cast<int64_t>(entries_.capacity() * sizeof(Entry)); }

  private:
    static constexpr size_t kIndexedFrom = 12;
    // Scopes hold a few names: they are searched in place, inline; larger
    // maps go through the index.
    const Entry* find(std::string_view name) const {
        if (!mayHold(nameBit(name))) return nullptr;
        return find(name, leadingKey(name));
    }
    const Entry* find(std::string_view name, uint64_t key) const {
        if (index_) return findIndexed(name);
        for (const Entry& entry : entries_)
            if (sameName(entry, name, key)) return &entry;
        return nullptr;
    }
    // Most names are at most eight bytes: one comparison of their keys.
    static bool sameName(const Entry& entry, std::string_view name, uint64_t key) {
        if (entry.key != key || entry.name.size() != name.size()) return false;
        return name.size() <= 8 || std::memcmp(entry.name.data() + 8, name.data() + 8, name.size() - 8) == 0;
    }
    const Entry* findIndexed(std::string_view name) const;
    Entry* find(std::string_view name) { return const_cast<Entry*>(std::as_const(*this).find(name)); }
    void store(const MSRPValue& value, std::string_view name, bool immutable);
    void rebuildIndex();
    // Indexes the entry just appended, or the whole list when the append
    // moved it (`capacity`: the list's room before it): binding n names one
    // after the other stays linear in n.
    void indexAppended(size_t capacity);
    void account(int64_t sign, const std::string& name);

    // The list and the index are counted on the memory account by their
    // allocator, each long name by account().
    using Index = std::unordered_map<std::string_view, size_t, std::hash<std::string_view>, std::equal_to<>,
                                     MSRPMemory::Allocator<std::pair<const std::string_view, size_t>>>;
    Entries entries_;
    std::unique_ptr<Index> index_;
    uint64_t nameBits_ = 0;  // the bits of every name set since the last clear
    bool immutable_ = false;
};
