#include "analytics/interpreter/MSRPPropertyMap.h"


namespace {
// Names up to this long are kept inside their entry.
const size_t kInlineName = std::string().capacity();
}  // namespace

MSRPPropertyMap::~MSRPPropertyMap() {
    for (const Entry& entry : entries_) account(-1, entry.name);
}

void MSRPPropertyMap::account(int64_t sign, const std::string& name) {
    if (name.capacity() > kInlineName) MSRPMemory::add(sign * static_cast<int64_t>(name.capacity() + 1));
}

const MSRPPropertyMap::Entry* MSRPPropertyMap::findIndexed(std::string_view name) const {
    auto found = index_->find(name);
    return found == index_->end() ? nullptr : &entries_[found->second];
}

void MSRPPropertyMap::store(const MSRPValue& value, std::string_view name, bool immutable) {
    if (immutable_) return;
    if (Entry* entry = find(name)) {
        if (entry->immutable) return;
        entry->value = value;
        entry->immutable = immutable;
        return;
    }
    const size_t capacity = entries_.capacity();
    entries_.push_back(Entry{std::string(name), value, immutable, leadingKey(name)});
    nameBits_ |= nameBit(name);
    account(1, entries_.back().name);
    if (entries_.size() >= kIndexedFrom) indexAppended(capacity);
}

void MSRPPropertyMap::indexAppended(size_t capacity) {
    if (index_ && capacity == entries_.capacity()) {
        index_->emplace(entries_.back().name, entries_.size() - 1);
    } else {
        // The index points into the names, which a growing list has moved.
        rebuildIndex();
    }
}

void MSRPPropertyMap::rebuildIndex() {
    if (entries_.size() < kIndexedFrom) {
        index_.reset();
        return;
    }
    if (!index_) index_ = std::make_unique<Index>();
    index_->clear();
    for (size_t i = 0; i < entries_.size(); ++i) index_->emplace(entries_[i].name, i);
}

void MSRPPropertyMap::removeValueForName(std::string_view name) {
    if (immutable_) return;
    Entry* entry = find(name);
    if (!entry || entry->immutable) return;
    // Closing the gap and indexing the rest again reads every entry.
    if (index_) MSRPWork::charge(static_cast<int64_t>(entries_.size() * sizeof(MSRPValue)));
    account(-1, entry->name);
    entries_.erase(entries_.begin() + (entry - entries_.data()));
    rebuildIndex();
}

std::vector<std::string> MSRPPropertyMap::allNames() const {
    std::vector<std::string> names;
    names.reserve(entries_.size());
    for (const Entry& entry : entries_) names.push_back(entry.name);
    return names;
}

void MSRPPropertyMap::clear() {
    for (const Entry& entry : entries_) account(-1, entry.name);
    index_.reset();
    nameBits_ = 0;
    immutable_ = false;
    // Only reached while a scope is disposed of: the values this releases
    // are freed after it, never inside this call.
    entries_.clear();
}

MSRPPropertyMap::Entries MSRPPropertyMap::takeEntries() {
    for (const Entry& entry : entries_) account(-1, entry.name);
    index_.reset();
    nameBits_ = 0;
    return std::exchange(entries_, {});
}
