#include "analytics/interpreter/MSRPObjectManager.h"

#include <algorithm>
#include <atomic>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPObjectValue.h"
#include "analytics/interpreter/MSRPScope.h"

namespace {
// Shared by every manager, so that a value seen by two runtimes is never
// taken as marked by a stale round.
std::atomic<uint32_t> gEpoch{0};
}  // namespace

void MSRPMarker::markValue(const MSRPValue& value) {
    MSRPRuntimeValue* object = value.object();
    if (!object || object->kind() == MSRPValueKind::String) return;
    if (object->markEpoch() == epoch_) return;
    object->setMarkEpoch(epoch_);
    values_.push_back(object);
}

void MSRPMarker::markScope(const MSRPScope* scope) {
    if (scope && scope->markEpoch() != epoch_) {
        scope->setMarkEpoch(epoch_);
        scopes_.push_back(scope);
    }
}

void MSRPMarker::drain() {
    while (!values_.empty() || !scopes_.empty()) {
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
}

void MSRPObjectManager::removeObject(MSRPObjectValue* object) {
    size_t index = object->trackIndex_;
    if (index >= objects_.size() || objects_[index] != object) return;
    objects_[index] = objects_.back();
    objects_[index]->trackIndex_ = index;
    objects_.pop_back();
    object->manager_ = nullptr;
}

void MSRPObjectManager::collectGarbage() {
    uint32_t epoch = ++gEpoch;
    if (epoch == 0) epoch = ++gEpoch;  // 0 is what a new value starts with
    MSRPMarker marker(epoch);
    for (const MSRPGarbageCollectionRoot* root : roots_) root->mark(marker);
    marker.drain();
    // Hold the unreachable ones while emptying them: emptying releases
    // others, which then leave the tracked list.
    std::vector<MSRPRef<MSRPObjectValue>> unreachable;
    for (MSRPObjectValue* object : objects_)
        if (object->markEpoch() != epoch) unreachable.emplace_back(object);
    for (const MSRPRef<MSRPObjectValue>& object : unreachable) object->sweep();
}
