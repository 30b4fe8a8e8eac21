#pragma once
// A chain of name bindings. Declarations bind in the scope itself;
// assignments go to the nearest scope of the chain that already binds the
// name (else here); lookups read up the chain.

#include <cstdint>
#include <string_view>

#include "analytics/interpreter/MSRPObjectManager.h"
#include "analytics/interpreter/MSRPPropertyMap.h"
#include "analytics/interpreter/MSRPRuntimeValue.h"

class MSRPScope final : public MSRPRefCounted, public MSRPGarbageCollectionRoot {
  public:
    // `expectedNames`: room for that many bindings without growing.
    explicit MSRPScope(MSRPRef<MSRPScope> parentScope = {}, size_t expectedNames = 0);
    ~MSRPScope() override;

    // A new scope; every call makes one, so emptied scopes are kept for reuse.
    static MSRPRef<MSRPScope> makeScope(MSRPRef<MSRPScope> parentScope = {}, size_t expectedNames = 0);
    MSRPRef<MSRPScope> createChildScope() { return makeScope(MSRPRef<MSRPScope>(this)); }
    MSRPScope* parentScope() const { return parent_.get(); }

    // Names are a program's texts, shared by the binding, or the host's own
    // literals where it looks one up.
    template <class Name>
    bool hasName(const Name& name) const {
        return lookup(name) != nullptr;
    }
    void addValue(const MSRPValue& value, const MSRPText& name) { contents_.setValue(value, name); }
    void addValue(const MSRPValue& value, std::string_view name) { contents_.setValue(value, name); }
    void addImmutableValue(const MSRPValue& value, const MSRPText& name) {
        contents_.setImmutableValue(value, name);
    }
    void addImmutableValue(const MSRPValue& value, std::string_view name) {
        addImmutableValue(value, MSRPText::make(name));
    }
    void setValue(const MSRPValue& value, const MSRPText& name);
    void setValue(const MSRPValue& value, std::string_view name) { setValue(value, MSRPText::make(name)); }
    template <class Name>
    MSRPValue valueForName(const Name& name) const {
        const MSRPValue* found = lookup(name);
        return found ? *found : MSRPValue();
    }
    // The binding itself through the chain, or null.
    template <class Name>
    const MSRPValue* lookup(const Name& name) const {
        for (const MSRPScope* scope = this; scope; scope = scope->parent_.get())
            if (const MSRPValue* value = scope->contents_.lookup(name)) return value;
        return nullptr;
    }
    // The binding `lookup` finds, through a statement's remembered place:
    // `bit` and `key` are the name's MSRPPropertyMap::nameBit and leadingKey;
    // `holder` is set to the scope that binds it. Null when no scope of the
    // chain does.
    MSRPPropertyMap::Entry* findBinding(const MSRPText& name, uint64_t bit, uint64_t key, MSRPNameCache& cache,
                                        MSRPScope** holder) {
        // Found in the scope itself last time (a parameter, a local): no
        // nearer scope can shadow it.
        if (cache.depth == 0) {
            if (MSRPPropertyMap::Entry* entry = contents_.entryAt(cache.slot, name, key)) {
                *holder = this;
                return entry;
            }
        }
        return findBindingFurther(name, bit, key, cache, holder);
    }
    // Whether the scope's own bindings take assignments (a frozen scope
    // keeps its values silently).
    bool isImmutable() const { return contents_.isImmutable(); }
    // Binds a parameter of a new call scope; the name is not bound here yet.
    void addAbsentValue(const MSRPValue& value, const MSRPText& name, uint64_t key) {
        contents_.appendAbsent(value, name, key);
    }
    void makeImmutable() { contents_.makeImmutable(); }
    const MSRPPropertyMap& contents() const { return contents_; }

    // The scope's own object manager, else its parent's.
    MSRPObjectManager* objectManager() const;
    void setObjectManager(MSRPObjectManager* objectManager) { objectManager_ = objectManager; }

    // Marks the bindings of this scope and of every ancestor: a closure can
    // read any of them.
    void mark(MSRPMarker& marker) const override;
    uint32_t markEpoch() const { return markEpoch_; }
    void setMarkEpoch(uint32_t epoch) const { markEpoch_ = epoch; }

  private:
    void dispose() noexcept override;
    MSRPPropertyMap::Entry* findBindingFurther(const MSRPText& name, uint64_t bit, uint64_t key,
                                               MSRPNameCache& cache, MSRPScope** holder);

    MSRPRef<MSRPScope> parent_;
    MSRPPropertyMap contents_;
    MSRPObjectManager* objectManager_ = nullptr;
    mutable uint32_t markEpoch_ = 0;
};
