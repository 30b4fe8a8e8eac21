#include "analytics/interpreter/MSRPScope.h"

#include <vector>

MSRPScope::MSRPScope(MSRPRef<MSRPScope> parentScope, size_t expectedNames) : parent_(std::move(parentScope)) {
    contents_.reserve(expectedNames);
    MSRPMemory::add(static_cast<int64_t>(sizeof(*this)));
}

MSRPScope::~MSRPScope() { MSRPMemory::add(-static_cast<int64_t>(sizeof(*this))); }

namespace {

struct KeptScopes {
    std::vector<MSRPScope*> scopes;
    ~KeptScopes() {
        for (MSRPScope* scope : scopes) {
            // Its destructor and its list's allocator take these off again.
            MSRPMemory::add(static_cast<int64_t>(sizeof(*scope)) + scope->contents().roomBytes());
            delete scope;
        }
    }
};
thread_local KeptScopes tKept;

}  // namespace

MSRPRef<MSRPScope> MSRPScope::makeScope(MSRPRef<MSRPScope> parentScope, size_t expectedNames) {
    if (tKept.scopes.empty()) return MSRPRef<MSRPScope>::make(std::move(parentScope), expectedNames);
    MSRPScope* scope = tKept.scopes.back();
    tKept.scopes.pop_back();
    // A kept scope counts on no account: the one in use takes it over.
    MSRPMemory::add(static_cast<int64_t>(sizeof(*scope)) + scope->contents().roomBytes());
    scope->parent_ = std::move(parentScope);
    scope->contents_.reserve(expectedNames);
    return MSRPRef<MSRPScope>(scope);
}

void MSRPScope::dispose() noexcept {
    // Only the small scopes that calls make are worth keeping: a large one
    // would carry its room into whichever account takes it next.
    constexpr size_t kMostNamesKept = 32;
    if (tKept.scopes.size() >= kMSRPKeptForReuse ||
        contents_.roomBytes() > static_cast<int64_t>(kMostNamesKept * sizeof(MSRPPropertyMap::Entry))) {
        delete this;
        return;
    }
    // Emptied as a new scope is, keeping only the room of its bindings.
    parent_ = {};
    contents_.clear();
    MSRPMemory::add(-static_cast<int64_t>(sizeof(*this)) - contents_.roomBytes());
    objectManager_ = nullptr;
    markEpoch_ = 0;
    tKept.scopes.push_back(this);
}

void MSRPScope::setValue(const MSRPValue& value, const MSRPText& name) {
    // The nearest scope that binds the name takes the assignment; when none
    // does, this one declares it.
    for (MSRPScope* scope = this; scope; scope = scope->parent_.get()) {
        if (scope->contents_.hasName(name)) {
            scope->contents_.setValue(value, name);
            return;
        }
    }
    contents_.setValue(value, name);
}

MSRPPropertyMap::Entry* MSRPScope::findBindingFurther(const MSRPText& name, uint64_t bit, uint64_t key,
                                                      MSRPNameCache& cache, MSRPScope** holder) {
    // Found in the parent last time (a function's name, called from its
    // body): this scope's summary shows at once that it does not shadow it.
    if (cache.depth == 1 && parent_ && !contents_.mayHold(bit)) {
        if (MSRPPropertyMap::Entry* entry = parent_->contents_.entryAt(cache.slot, name, key)) {
            *holder = parent_.get();
            return entry;
        }
    }
    // The remembered place holds when no scope nearer than it binds the name.
    if (cache.depth != MSRPNameCache::kUnknown && cache.depth > 0) {
        MSRPScope* scope = this;
        uint32_t depth = 0;
        while (depth < cache.depth && scope && scope->contents_.slotOf(name, bit, key) < 0) {
            scope = scope->parent_.get();
            ++depth;
        }
        if (depth == cache.depth && scope) {
            if (MSRPPropertyMap::Entry* entry = scope->contents_.entryAt(cache.slot, name, key)) {
                *holder = scope;
                return entry;
            }
        }
    }
    uint32_t depth = 0;
    for (MSRPScope* scope = this; scope; scope = scope->parent_.get(), ++depth) {
        const ptrdiff_t slot = scope->contents_.slotOf(name, bit, key);
        if (slot < 0) continue;
        cache.depth = depth;
        cache.slot = static_cast<uint32_t>(slot);
        *holder = scope;
        return scope->contents_.entryAt(static_cast<size_t>(slot), name, key);
    }
    return nullptr;
}

MSRPObjectManager* MSRPScope::objectManager() const {
    for (const MSRPScope* scope = this; scope; scope = scope->parent_.get())
        if (scope->objectManager_) return scope->objectManager_;
    return nullptr;
}

void MSRPScope::mark(MSRPMarker& marker) const { marker.markScope(this); }
