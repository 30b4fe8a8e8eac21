#include "analytics/model/MSRPEventEditing.h"

#include "analytics/messages/MSRPBMessages.h"

#include "analytics/support/MSRLogContext.h"
#include "analytics/support/MSRMonitor.h"

void MSRPicoLogger::log(const std::string& /*message*/) {}

bool MSRPEventEditing::loadProgramInPlace(MSRPBMessageView program, MSRError* error) {
    std::optional<NANOMessageBase> copy = NANOMessageBase::initWithMessageInfo(MSRPBProgram::type(), program.info());
    return loadProgram(copy ? MSRPBProgram(std::move(*copy)) : MSRPBProgram(), error);
}

int64_t MSRPicoLogger::monitorLevel(int64_t level, bool silent, bool monitored) {
    switch (level) {
        case 2: return 8;
        case 3: return 7;
        case 5: return silent ? 5 : monitored ? 4 : 3;
        case 6: return silent ? 2 : monitored ? 1 : 0;
        default: return 6;
    }
}

void MSRPicoLogger::logWithLevel(int64_t level, const std::string& message, const std::vector<std::string>& context,
                                 bool silent, bool monitored) {
    std::vector<MSRLogContext> contexts(context.begin(), context.end());
    // The monitor keeps the text as written and escapes it on the console.
    MSRMonitor::shared()->logWithLevel(monitorLevel(level, silent, monitored), MSRMonitor::kProgramLogMessageCode,
                                       message, contexts);
}
