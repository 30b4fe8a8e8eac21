#pragma once
// The named members of maps, arrays, functions and scopes, kept in the order
// they were first set. Small maps (the usual scope) are searched in place; an
// index is built once a map grows.
//
// A map charges its own work at the charge point, whoever calls it: each
// probe of a bucket past the first, the entries moved when its list grows or
// an entry is removed, and the index rebuilt after a removal. The index is
// keyed by the texts' keyed hashes. Work that a stop cuts short changes
// nothing: a search stopped part-way finds nothing and nothing is added
// after it, and every hash an entry is indexed under is computed (and
// charged) before the entry is added.

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
    // The name is a text shared with whoever made it: binding copies no bytes.
    struct Entry {
        MSRPText name;
        MSRPValue value;
        uint64_t key = 0;   // leadingKey(name)
        uint32_t size = 0;  // the name's (far below 4 GiB under any memory ceiling)
        bool immutable = false;
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

    // Names are looked up as a program's texts (whose kept hash a large map
    // uses) or as the host's own literals.
    bool hasName(const MSRPText& name) const { return find(name) != nullptr; }
    bool hasName(std::string_view name) const { return find(name) != nullptr; }
    // Both do nothing, silently, when the map is frozen or the name immutable.
    void setValue(const MSRPValue& value, const MSRPText& name) { store(value, name, false); }
    void setImmutableValue(const MSRPValue& value, const MSRPText& name) { store(value, name, true); }
    // A name of the host's own (a module's member): made as a text.
    void setValue(const MSRPValue& value, std::string_view name) { store(value, MSRPText::make(name), false); }
    // Undefined for an absent name.
    template <class Name>
    MSRPValue valueForName(const Name& name) const {
        const Entry* entry = find(name);
        return entry ? entry->value : MSRPValue();
    }
    // The stored value itself, or null when absent.
    template <class Name>
    const MSRPValue* lookup(const Name& name) const {
        const Entry* entry = find(name);
        return entry ? &entry->value : nullptr;
    }
    void removeValueForName(const MSRPText& name);
    void makeImmutable() { immutable_ = true; }
    bool isImmutable() const { return immutable_; }
    using Entries = MSRPMemory::List<Entry>;
    const Entries& entries() const { return entries_; }
    // Whether a name whose bit is `bit` may be here (false: certainly not).
    bool mayHold(uint64_t bit) const { return (nameBits_ & bit) != 0; }
    // The entry at `slot` when it binds `name`, else null: a remembered
    // position checked before it is trusted.
    // `key` is leadingKey(name).
    Entry* entryAt(size_t slot, const MSRPText& name, uint64_t key) {
        if (slot >= entries_.size()) return nullptr;
        Entry& entry = entries_[slot];
        return sameName(entry, name, key) ? &entry : nullptr;
    }
    // The position of `name` (whose bit and key are given), or -1.
    ptrdiff_t slotOf(const MSRPText& name, uint64_t bit, uint64_t key) const {
        if (!mayHold(bit)) return -1;
        const Entry* entry = findText(name, key);
        return entry ? entry - entries_.data() : -1;
    }
    // Adds a binding for a name known to be absent (a fresh call scope's
    // parameters, all distinct); `key` is leadingKey(name).
    void appendAbsent(const MSRPValue& value, const MSRPText& name, uint64_t key) {
        if ((entries_.size() + 1 >= kIndexedFrom || entries_.size() == entries_.capacity()) && !readyToAppend(name))
            return;
        Entry& entry = entries_.emplace_back();
        entry.name = name;
        entry.value = value;
        entry.key = key;
        entry.size = static_cast<uint32_t>(name.size());
        nameBits_ |= nameBit(name);
        if (entries_.size() >= kIndexedFrom) indexAppended();
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

    // What one probe of a bucket past the first is charged, as bytes at the
    // charge point: a walk of a bucket reads a node and an entry a probe,
    // about two evaluations' time (interpreter_bench: BM_CostlyProgram).
    static constexpr int64_t kProbeBytes = 2 * MSRPWork::kBytesPerInstruction;

  private:
    static constexpr size_t kIndexedFrom = 12;
    // Scopes hold a few names: they are searched in place, inline; larger
    // maps go through the index, by the name's hash: a program's text keeps
    // its own, a host's literal is hashed where it is looked up.
    const Entry* find(const MSRPText& name) const {
        const std::string_view bytes = name;
        if (!mayHold(nameBit(bytes))) return nullptr;
        if (index_) return findIndexed(bytes, name.hash());
        return findListed(bytes, leadingKey(bytes));
    }
    const Entry* find(std::string_view name) const {
        if (!mayHold(nameBit(name))) return nullptr;
        if (index_) return findIndexed(name, MSRPText::hashOf(name));
        return findListed(name, leadingKey(name));
    }
    const Entry* findText(const MSRPText& name, uint64_t key) const {
        if (index_) return findIndexed(name, name.hash());
        return findListed(name, key);
    }
    const Entry* findListed(std::string_view name, uint64_t key) const {
        for (const Entry& entry : entries_)
            if (sameName(entry, name, key)) return &entry;
        return nullptr;
    }
    // Most names are at most eight bytes: one comparison of their keys. A
    // longer one is compared in full only when it is another text of the
    // same length, and charged then.
    static bool sameName(const Entry& entry, std::string_view name, uint64_t key) {
        if (entry.key != key || entry.size != name.size()) return false;
        return name.size() <= 8 || MSRPTextsEqual(entry.name, name);
    }
    const Entry* findIndexed(std::string_view name, uint64_t hash) const;
    Entry* findMutable(const MSRPText& name) { return const_cast<Entry*>(find(name)); }
    void store(const MSRPValue& value, const MSRPText& name, bool immutable);
    // Whether `name` may be appended now: the growth of the list is paid
    // for, and every hash the index will need is known. False once the run
    // has stopped; the map is then as it was.
    bool readyToAppend(const MSRPText& name);
    // Computes (and charges) every entry's hash; false once the run has stopped.
    bool hashEntries() const;
    void rebuildIndex();
    // Indexes the entry just appended: binding n names one after the other
    // stays linear in n.
    void indexAppended();

    // Positions by the hash of their name. The list and the index are
    // counted on the memory account by their allocator, the names by
    // themselves.
    using Index = std::unordered_multimap<uint64_t, size_t, std::hash<uint64_t>, std::equal_to<>,
                                          MSRPMemory::Allocator<std::pair<const uint64_t, size_t>>>;
    Entries entries_;
    std::unique_ptr<Index> index_;
    uint64_t nameBits_ = 0;  // the bits of every name set since the last clear
    bool immutable_ = false;
};
