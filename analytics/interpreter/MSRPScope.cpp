#include "analytics/interpreter/MSRPScope.h"

MSRPScope::MSRPScope(MSRPRef<MSRPScope> parentScope, size_t expectedNames) : parent_(std::move(parentScope)) {
    contents_.reserve(expectedNames);
    MSRPMemory::add(static_cast<int64_t>(sizeof(*this)));
}

MSRPScope::~MSRPScope() { MSRPMemory::add(-static_cast<int64_t>(sizeof(*this))); }

void MSRPScope::setValue(const MSRPValue& value, std::string_view name) {
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

MSRPObjectManager* MSRPScope::objectManager() const {
    for (const MSRPScope* scope = this; scope; scope = scope->parent_.get())
        if (scope->objectManager_) return scope->objectManager_;
    return nullptr;
}

void MSRPScope::mark(MSRPMarker& marker) const { marker.markScope(this); }
