#include "analytics/interpreter/MSRPPropertyMap.h"

const MSRPPropertyMap::Entry* MSRPPropertyMap::findIndexed(std::string_view name, uint64_t hash) const {
    const uint64_t key = leadingKey(name);
    auto [first, last] = index_->equal_range(hash);
    for (auto it = first; it != last; ++it) {
        const Entry& entry = entries_[it->second];
        if (sameName(entry, name, key)) return &entry;
    }
    return nullptr;
}

void MSRPPropertyMap::store(const MSRPValue& value, const MSRPText& name, bool immutable) {
    if (immutable_) return;
    if (Entry* entry = findMutable(name)) {
        if (entry->immutable) return;
        entry->value = value;
        entry->immutable = immutable;
        return;
    }
    entries_.push_back(Entry{name, value, leadingKey(name), static_cast<uint32_t>(name.size()), immutable});
    nameBits_ |= nameBit(name);
    if (entries_.size() >= kIndexedFrom) indexAppended();
}

void MSRPPropertyMap::indexAppended() {
    if (!index_) {
        rebuildIndex();
        return;
    }
    index_->emplace(entries_.back().name.hash(), entries_.size() - 1);
}

void MSRPPropertyMap::rebuildIndex() {
    if (entries_.size() < kIndexedFrom) {
        index_.reset();
        return;
    }
    if (!index_) index_ = std::make_unique<Index>();
    index_->clear();
    for (size_t i = 0; i < entries_.size(); ++i) index_->emplace(entries_[i].name.hash(), i);
}

void MSRPPropertyMap::removeValueForName(const MSRPText& name) {
    if (immutable_) return;
    Entry* entry = findMutable(name);
    if (!entry || entry->immutable) return;
    // Closing the gap and indexing the rest again reads every entry.
    if (index_) MSRPWork::charge(static_cast<int64_t>(entries_.size() * sizeof(MSRPValue)));
    entries_.erase(entries_.begin() + (entry - entries_.data()));
    rebuildIndex();
}

void MSRPPropertyMap::clear() {
    index_.reset();
    nameBits_ = 0;
    immutable_ = false;
    // Only reached while a scope is disposed of: the values this releases
    // are freed after it, never inside this call.
    entries_.clear();
}

MSRPPropertyMap::Entries MSRPPropertyMap::takeEntries() {
    index_.reset();
    nameBits_ = 0;
    return std::exchange(entries_, {});
}
