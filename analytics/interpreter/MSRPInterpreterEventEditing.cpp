#include "analytics/interpreter/MSRPInterpreterEventEditing.h"

#include "analytics/support/MSRError.h"

void MSRPInterpreterEventEditing::setModuleCreator(ModuleCreator creator, const std::string& name) {
    moduleCreators_[name] = std::move(creator);
}

bool MSRPInterpreterEventEditing::loadProgram(const MSRPBProgram& program, MSRError* error) {
    std::vector<MSRPBRuntimeEntity> statements = MSRPBGetMessageArray<MSRPBRuntimeEntity>(program, 0);
    runtime_.resetInstructionCount();
    MSRError failure;
    MSRPValue last = runtime_.executeStatements(statements, &failure);
    runtime_.collectGarbage();
    if (failure.code() != 0) {
        if (error) *error = failure;
        return false;
    }
    if (last.isControl()) {
        if (error) *error = MSRError(MSRPEditingErrorDomain, kEditingErrorControlValue);
        return false;
    }
    return true;
}

bool MSRPInterpreterEventEditing::handleEvent(const MSRPEvent& event, MSRError* error) {
    (void)error;
    runtime_.resetInstructionCount();
    context_.outputEvent = event;
    context_.eventsToLog.clear();
    hasEdits_ = false;
    runtime_.collectGarbage();
    return hasEdits_ || hasCreatedEvents();
}
