#include "analytics/core/MSREventEditingRegistration.h"

#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/interpreter/MSRPInterpreterEventEditing.h"

void MSRRegisterEventEditing() {
    MSRComponentRegistry::registerMaker<MSRPEventEditing>(
        [](const MSRComponentContext&) { return std::make_shared<MSRPInterpreterEventEditing>(); });
}
