#include "analytics/interpreter/MSRPPropertyMap.h"

#include "analytics/interpreter/MSRPExecution.h"

namespace {
// MSRPWork::stopped(), read inline on the paths every binding takes.
inline bool runStopped() { return MSRPWork::tExecution && MSRPWork::tExecution->failed(); }
}  // namespace

const MSRPPropertyMap::Entry* MSRPPropertyMap::findIndexed(std::string_view name, uint64_t hash) const {
    // A stopped run's hash is no hash: nothing is found by it.
    if (runStopped()) return nullptr;
    const uint64_t key = leadingKey(name);
    auto [first, last] = index_->equal_range(hash);
    // The first probe is the lookup's own; names that share a hash are
    // charged one by one, so that a bucket of many costs what it is.
    bool probed = false;
    for (auto it = first; it != last; ++it) {
        if (probed && !MSRPWork::charge(kProbeBytes)) return nullptr;
        probed = true;
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
    if (!readyToAppend(name)) return;
    entries_.push_back(Entry{name, value, leadingKey(name), static_cast<uint32_t>(name.size()), immutable});
    nameBits_ |= nameBit(name);
    if (entries_.size() >= kIndexedFrom) indexAppended();
}

bool MSRPPropertyMap::readyToAppend(const MSRPText& name) {
    // A search the stop cut short says nothing about the name: nothing is
    // added after it.
    if (runStopped()) return false;
    // A list that grows moves every entry into its new room.
    if (entries_.size() == entries_.capacity() && entries_.size() >= kIndexedFrom &&
        !MSRPWork::charge(static_cast<int64_t>(entries_.size() * sizeof(Entry))))
        return false;
    if (entries_.size() + 1 < kIndexedFrom) return true;
    name.hash();
    if (runStopped()) return false;
    return index_ || hashEntries();
}

bool MSRPPropertyMap::hashEntries() const {
    for (const Entry& entry : entries_) {
        entry.name.hash();
        if (runStopped()) return false;
    }
    return true;
}

void MSRPPropertyMap::indexAppended() {
    if (!index_) {
        rebuildIndex();
        return;
    }
    index_->emplace(entries_.back().name.hash(), entries_.size() - 1);
}

// Every name's hash is known here (readyToAppend, removeValueForName): the
// index is built from kept hashes, without a charge that could stop it.
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
    // Closing the gap and indexing the rest again reads every entry: paid
    // for before the entry goes, so that a stop leaves it in place.
    if (index_ && (!MSRPWork::charge(static_cast<int64_t>(entries_.size() * sizeof(Entry))) || !hashEntries()))
        return;
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
