#pragma once
// Tracks the maps, arrays and functions of one runtime and reclaims the
// unreachable ones by mark and sweep. Marking starts from the roots (the
// runtime's scopes and whatever else registers) and walks with an explicit
// stack, so neither cycles nor deep nesting recurse. Sweeping empties each
// unmarked value (members, elements, body and defining scope), which breaks
// the cycles that reference counting alone would keep.

#include <cstdint>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPRuntimeValue.h"

class MSRPArrayValue;
class MSRPFunctionValue;
class MSRPMapValue;
class MSRPObjectValue;
class MSRPScope;
class MSRPMarker;

// What the collector starts from.
class MSRPGarbageCollectionRoot {
  public:
    virtual void mark(MSRPMarker& marker) const = 0;

  protected:
    virtual ~MSRPGarbageCollectionRoot() = default;
};

class MSRPMarker {
  public:
    explicit MSRPMarker(uint32_t epoch) : epoch_(epoch) {}
    uint32_t epoch() const { return epoch_; }
    void markValue(const MSRPValue& value);
    void markScope(const MSRPScope* scope);
    // Marks everything reachable from what was handed in so far.
    void drain();

  private:
    uint32_t epoch_;
    std::vector<MSRPRuntimeValue*> values_;
    std::vector<const MSRPScope*> scopes_;
};

class MSRPObjectManager {
  public:
    MSRPObjectManager() = default;
    MSRPObjectManager(const MSRPObjectManager&) = delete;
    MSRPObjectManager& operator=(const MSRPObjectManager&) = delete;
    // Empties every value still tracked: the program is gone, and whoever
    // still holds one of its values holds an empty one.
    ~MSRPObjectManager();

    // Factories; the value is tracked by `manager` (none: untracked).
    static MSRPRef<MSRPMapValue> mapValue(MSRPObjectManager* manager);
    static MSRPRef<MSRPArrayValue> arrayValueWithArray(std::vector<MSRPValue> elements, MSRPObjectManager* manager);
    static MSRPRef<MSRPFunctionValue> functionValueWithFunctionName(MSRPText functionName,
                                                                    MSRPParameterNames parameterNames,
                                                                    MSRPMemory::List<MSRPValue> statements,
                                                                    MSRPRef<MSRPScope> definingScope,
                                                                    MSRPObjectManager* manager);

    // Roots stay registered until removed; a root removes itself before it dies.
    void addRoot(const MSRPGarbageCollectionRoot* root);
    void removeRoot(const MSRPGarbageCollectionRoot* root);
    void addObject(MSRPObjectValue* object);

    void collectGarbage();
    size_t trackedObjectCount() const { return objects_.size(); }
    size_t rootCount() const { return roots_.size(); }

  private:
    friend class MSRPObjectValue;
    void removeObject(MSRPObjectValue* object);

    std::vector<const MSRPGarbageCollectionRoot*> roots_;
    std::vector<MSRPObjectValue*> objects_;
};
