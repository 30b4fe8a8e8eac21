#pragma once
// Tracks the maps, arrays and functions of one runtime and reclaims the
// unreachable ones by mark and sweep. Marking starts from the roots (the
// runtime's scopes and whatever else registers) and walks with an explicit
// stack, so neither cycles nor deep nesting recurse. Sweeping empties each
// unmarked value (members, elements, body and defining scope), which breaks
// the cycles that reference counting alone would keep.
//
// The collection after a run is paced and paid for: it runs once the values
// made since the last one reach the number that survived it, or the memory
// they hold reaches a quarter of the room left under the ceiling, so that a
// program that keeps much and makes little does not walk what it keeps after
// every event; and its walk passes the run's charge point as it goes (each
// value it visits and each member or element it looks at), so it is paid
// from the event's budget and stops at the event's bounds like any work. A
// walk that stops sweeps nothing and is owed to the next run.

#include <cstdint>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPRuntimeValue.h"

struct MSRPExecution;

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
    // Charged to `execution` as it walks; none: not charged.
    explicit MSRPMarker(uint32_t epoch, MSRPExecution* execution = nullptr) : epoch_(epoch), execution_(execution) {}
    uint32_t epoch() const { return epoch_; }
    void markValue(const MSRPValue& value) {
        work_ += kEdgeBytes;
        MSRPRuntimeValue* object = value.object();
        if (!object || object->kind() == MSRPValueKind::String) return;
        if (object->markEpoch() == epoch_) return;
        object->setMarkEpoch(epoch_);
        values_.push_back(object);
    }
    void markScope(const MSRPScope* scope);
    // Marks everything reachable from what was handed in so far; false when
    // the charge point stopped it first.
    bool drain();

    // What the walk costs at the charge point: a member or element looked
    // at, and a value or scope taken from the stack and visited
    // (interpreter_bench: BM_CollectKept, set against an evaluation).
    static constexpr int64_t kEdgeBytes = 8;
    static constexpr int64_t kVisitBytes = 128;

  private:
    // Passes what was walked since the last charge to the charge point.
    bool chargeWork();

    uint32_t epoch_;
    MSRPExecution* execution_;
    int64_t work_ = 0;
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

    // A whole collection, now and uncharged.
    void collectGarbage();
    // The collection after a run, on the memory account in use: nothing
    // unless it is due; else charged to `execution` as it walks (not to the
    // memory account: it frees). False when the charge point stopped it
    // before its sweep: nothing was swept, and it stays due.
    bool collectGarbageWhenDue(MSRPExecution& execution);
    // The same, due or not.
    bool collectGarbageWithin(MSRPExecution& execution);
    bool collectionDue() const;
    bool collectionOwed() const { return owed_; }
    size_t trackedObjectCount() const { return objects_.size(); }
    size_t rootCount() const { return roots_.size(); }

    // Below these a collection is never due: the values made since the last
    // one, and the bytes on the account beyond what survived it.
    static constexpr size_t kMinimumNewObjects = 4'096;
    static constexpr int64_t kMinimumNewBytes = int64_t{1} << 20;

  private:
    friend class MSRPObjectValue;
    void removeObject(MSRPObjectValue* object);
    // Mark and sweep; false when the marker was stopped.
    bool collect(MSRPExecution* execution);

    std::vector<const MSRPGarbageCollectionRoot*> roots_;
    std::vector<MSRPObjectValue*> objects_;
    // Since the last collection's end: values tracked, and what survived it.
    size_t newObjects_ = 0;
    size_t survivors_ = 0;
    int64_t survivorBytes_ = 0;
    // A collection that was stopped is owed whatever the pace says.
    bool owed_ = false;
};
