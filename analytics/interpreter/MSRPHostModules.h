#pragma once
// The program-visible form of the modules the host registers: the settings
// lookup ("getValue"), the application metadata (called for a fresh map) and
// the logger ("log", "silent.log", "unmonitored.log"); and the runtime's own
// platform module ("getVersion").

#include <memory>

#include "analytics/interpreter/MSRPRuntimeValue.h"
#include "analytics/model/MSRPEventEditing.h"

// Undefined for no module or a kind this interpreter does not know.
MSRPValue MSRPRuntimeValueForHostModule(const std::shared_ptr<MSRPModule>& module);
MSRPValue MSRPMakePlatformModule();
