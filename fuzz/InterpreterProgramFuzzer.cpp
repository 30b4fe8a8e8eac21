// Decodes a server-sent event-editing program and runs it under the
// interpreter's bounds (a smaller instruction budget and memory limit than
// the engine's, so that each input ends quickly). Whatever the program does,
// the run ends with a value or an error code; the value is printed, compared
// with itself and converted to a host value; collections keep or free values
// soundly (ASan and LSan watch both).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/support/MSRError.h"
#include "analytics/support/MSRMonitor.h"
#include "fuzz/SilentMonitor.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::installSilentMonitor();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::optional<MSRPBProgram> program = MSRPBProgram::initWithBuffer(std::span(data, size));
    if (!program) return 0;
    const int64_t memoryBefore = MSRPMemory::used();
    {
        MSRPRuntime runtime;
        runtime.setInstructionBudget(200'000);
        runtime.setMemoryLimit(int64_t{16} << 20);
        std::vector<MSRPBRuntimeEntity> statements = MSRPBGetMessageArray<MSRPBRuntimeEntity>(*program, 0);
        MSRError error;
        MSRPValue result = runtime.executeStatements(statements, &error);
        if (error.code() != 0 && !result.isUndefined()) std::abort();
        runtime.collectGarbage();
        int conversion = 0;
        (void)result.stringValueOrError(&conversion);
        if (!result.isEqualToRuntimeValue(result)) std::abort();
        (void)MSRPRuntimeEntityConverter::objectFromRuntimeValue(result, &conversion);
        // A second run over what the first left behind, after a collection.
        runtime.resetInstructionCount();
        runtime.executeStatements(statements, &error);
        runtime.collectGarbage();
    }
    // Every value of the runtime is gone with it, cycles included.
    if (MSRPMemory::used() != memoryBefore) std::abort();
    return 0;
}
