#pragma once
// Base of the values that have named members and can take part in reference
// cycles: maps, arrays and functions. The object manager of the runtime that
// made one tracks it, and its collection empties the unreachable ones.

#include <string>
#include <string_view>
#include <vector>

#include "analytics/interpreter/MSRPPropertyMap.h"
#include "analytics/interpreter/MSRPRuntimeValue.h"

class MSRPMarker;
class MSRPObjectManager;

class MSRPObjectValue : public MSRPRuntimeValue {
  public:
    ~MSRPObjectValue() override;

    MSRPPropertyMap& propertyMap() { return propertyMap_; }
    const MSRPPropertyMap& propertyMap() const { return propertyMap_; }
    template <class Name>
    bool hasProperty(const Name& name) const {
        return propertyMap_.hasName(name);
    }
    void setValue(const MSRPValue& value, const MSRPText& name) { propertyMap_.setValue(value, name); }
    void setValue(const MSRPValue& value, std::string_view name) { propertyMap_.setValue(value, name); }
    template <class Name>
    MSRPValue valueForProperty(const Name& name) const {
        return propertyMap_.valueForName(name);
    }
    void removeValueForProperty(const MSRPText& name) { propertyMap_.removeValueForName(name); }

    // The collector's two steps: hand every directly held value to the
    // marker, and release all contents of an unreachable value.
    virtual void markChildren(MSRPMarker& marker) const;
    virtual void sweep();

    MSRPObjectManager* objectManager() const { return manager_; }

  protected:
    explicit MSRPObjectValue(MSRPValueKind kind) : MSRPRuntimeValue(kind) {}

  private:
    friend class MSRPObjectManager;
    MSRPPropertyMap propertyMap_;
    MSRPObjectManager* manager_ = nullptr;
    size_t trackIndex_ = 0;
};

class MSRPMapValue final : public MSRPObjectValue {
  public:
    MSRPMapValue() : MSRPObjectValue(MSRPValueKind::Map) { MSRPMemory::add(static_cast<int64_t>(sizeof(*this))); }
    ~MSRPMapValue() override { MSRPMemory::add(-static_cast<int64_t>(sizeof(*this))); }
};

inline MSRPMapValue* MSRPValue::map() const { return isMap() ? static_cast<MSRPMapValue*>(object_) : nullptr; }
inline MSRPObjectValue* MSRPValue::trackedObject() const {
    return hasPropertyMap() ? static_cast<MSRPObjectValue*>(object_) : nullptr;
}
