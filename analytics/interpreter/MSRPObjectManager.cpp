#include "analytics/interpreter/MSRPObjectManager.h"

#include <algorithm>
#include <atomic>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPObjectValue.h"
#include "analytics/interpreter/MSRPScope.h"

namespace {
// Shared by every manager, so that a value seen by two runtimes is never
// taken as marked by a stale round.
std::atomic<uint32_t> gEpoch{0};
}  // namespace

void MSRPMarker::markScope(const MSRPScope* scope) {
    if (scope && scope->markEpoch() != epoch_) {
        scope->setMarkEpoch(epoch_);
        scopes_.push_back(scope);
    }
}

bool MSRPMarker::chargeWork() {
    const int64_t work = work_;
    work_ = 0;
    return !execution_ || execution_->chargeWalk(work);
}

bool MSRPMarker::drain() {
    while (!values_.empty() || !scopes_.empty()) {
        work_ += kVisitBytes;
        if (work_ >= static_cast<int64_t>(MSRPWork::kChunk) && !chargeWork()) return false;
        if (!scopes_.empty()) {
            const MSRPScope* scope = scopes_.back();
            scopes_.pop_back();
            for (const MSRPPropertyMap::Entry& entry : scope->contents().entries()) markValue(entry.value);
            markScope(scope->parentScope());
            continue;
        }
        MSRPRuntimeValue* object = values_.back();
        values_.pop_back();
        switch (object->kind()) {
            case MSRPValueKind::Map:
            case MSRPValueKind::Array:
            case MSRPValueKind::Function: static_cast<MSRPObjectValue*>(object)->markChildren(*this); break;
            case MSRPValueKind::Control: markValue(static_cast<MSRPControlValue*>(object)->data()); break;
            case MSRPValueKind::Statement:
                for (const MSRPValue& argument : static_cast<MSRPStatementValue*>(object)->arguments())
                    markValue(argument);
                break;
            default: break;
        }
    }
    return chargeWork();
}

MSRPObjectManager::~MSRPObjectManager() {
    std::vector<MSRPRef<MSRPObjectValue>> held(objects_.begin(), objects_.end());
    for (MSRPObjectValue* object : objects_) object->manager_ = nullptr;
    objects_.clear();
    for (const MSRPRef<MSRPObjectValue>& object : held) object->sweep();
}

MSRPRef<MSRPMapValue> MSRPObjectManager::mapValue(MSRPObjectManager* manager) {
    auto value = MSRPRef<MSRPMapValue>::make();
    if (manager) manager->addObject(value.get());
    return value;
}

MSRPRef<MSRPArrayValue> MSRPObjectManager::arrayValueWithArray(std::vector<MSRPValue> elements,
                                                              MSRPObjectManager* manager) {
    auto value = MSRPRef<MSRPArrayValue>::make(std::move(elements));
    if (manager) manager->addObject(value.get());
    return value;
}

MSRPRef<MSRPFunctionValue> MSRPObjectManager::functionValueWithFunctionName(
    MSRPText functionName, MSRPParameterNames parameterNames, MSRPMemory::List<MSRPValue> statements,
    MSRPRef<MSRPScope> definingScope, MSRPObjectManager* manager) {
    auto value = MSRPRef<MSRPFunctionValue>::make(std::move(functionName), std::move(parameterNames),
                                                  std::move(statements), std::move(definingScope));
    if (manager) manager->addObject(value.get());
    return value;
}

void MSRPObjectManager::addRoot(const MSRPGarbageCollectionRoot* root) {
    if (root && std::find(roots_.begin(), roots_.end(), root) == roots_.end()) roots_.push_back(root);
}

void MSRPObjectManager::removeRoot(const MSRPGarbageCollectionRoot* root) {
    roots_.erase(std::remove(roots_.begin(), roots_.end(), root), roots_.end());
}

void MSRPObjectManager::addObject(MSRPObjectValue* object) {
    if (!object || object->manager_) return;
    object->manager_ = this;
    object->trackIndex_ = objects_.size();
    objects_.push_back(object);
    ++newObjects_;
}

void MSRPObjectManager::removeObject(MSRPObjectValue* object) {
    size_t index = object->trackIndex_;
    if (index >= objects_.size() || objects_[index] != object) return;
    objects_[index] = objects_.back();
    objects_[index]->trackIndex_ = index;
    objects_.pop_back();
    object->manager_ = nullptr;
}

void MSRPObjectManager::collectGarbage() { collect(nullptr); }

bool MSRPObjectManager::collectionDue() const {
    if (owed_ || newObjects_ >= std::max(survivors_, kMinimumNewObjects)) return true;
    // Cycles that hold large texts are few values and much memory.
    const int64_t room = std::max<int64_t>(MSRPMemory::tAccountLimit - survivorBytes_, 0);
    return MSRPMemory::tAccountUsed - survivorBytes_ >= std::max(room / 4, kMinimumNewBytes);
}

bool MSRPObjectManager::collectGarbageWhenDue(MSRPExecution& execution) {
    return !collectionDue() || collectGarbageWithin(execution);
}

bool MSRPObjectManager::collectGarbageWithin(MSRPExecution& execution) {
    owed_ = !collect(&execution);
    return !owed_;
}

bool MSRPObjectManager::collect(MSRPExecution* execution) {
    // A run that ended on its time guard or the end's stop walks nothing.
    if (execution && !execution->checkClock()) return false;
    uint32_t epoch = ++gEpoch;
    if (epoch == 0) epoch = ++gEpoch;  // 0 is what a new value starts with
    MSRPMarker marker(epoch, execution);
    for (const MSRPGarbageCollectionRoot* root : roots_) root->mark(marker);
    // Stopped while marking, nothing is swept: what is not marked yet may
    // still be reachable.
    if (!marker.drain()) return false;
    // Hold the unreachable ones while emptying them: emptying releases
    // others, which then leave the tracked list. The look at each is
    // charged before it, and the emptying is not stopped once begun.
    if (execution && !execution->chargeWalk(static_cast<int64_t>(objects_.size()) * MSRPMarker::kEdgeBytes))
        return false;
    std::vector<MSRPRef<MSRPObjectValue>> unreachable;
    for (MSRPObjectValue* object : objects_)
        if (object->markEpoch() != epoch) unreachable.emplace_back(object);
    for (const MSRPRef<MSRPObjectValue>& object : unreachable) object->sweep();
    unreachable.clear();
    newObjects_ = 0;
    survivors_ = objects_.size();
    survivorBytes_ = MSRPMemory::tAccountUsed;
    return true;
}
