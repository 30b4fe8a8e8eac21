#pragma once
// The program-visible form of the modules the host registers: the settings
// lookup ("getValue"), the application metadata (called for a fresh map) and
// the logger ("log", "silent.log", "unmonitored.log"); and the runtime's own
// platform module ("getVersion").

#include <cstddef>
#include <cstdint>
#include <memory>

#include "analytics/interpreter/MSRPRuntimeValue.h"
#include "analytics/model/MSRPEventEditing.h"

// What a program may write through the logger: lines per event (the count
// restarts with the instruction count) and bytes of each text.
namespace MSRPLogBounds {
inline constexpr int64_t kMaxLogCallsPerRun = 100;
inline constexpr size_t kMaxLogTextBytes = 1'024;
}  // namespace MSRPLogBounds

// Undefined for no module or a kind this interpreter does not know.
MSRPValue MSRPRuntimeValueForHostModule(const std::shared_ptr<MSRPModule>& module);
MSRPValue MSRPMakePlatformModule();
