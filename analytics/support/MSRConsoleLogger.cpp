#include "analytics/support/MSRConsoleLogger.h"

#include <cstdio>
#include <utility>

#include "platform/foundation/Text.h"

MSRConsoleLogger& MSRConsoleLogger::shared() { return *sharedPointer(); }

std::shared_ptr<MSRConsoleLogger> MSRConsoleLogger::sharedPointer() {
    static const std::shared_ptr<MSRConsoleLogger> logger = std::make_shared<MSRConsoleLogger>();
    return logger;
}

MSRConsoleLogger::MSRConsoleLogger(Sink sink) : sink_(std::move(sink)) {}

void MSRConsoleLogger::setSink(Sink sink) {
    std::lock_guard lock(sinkMutex_);
    sink_ = std::move(sink);
}

std::string MSRConsoleLogger::formatLine(std::string_view category, std::string_view codeText,
                                         std::string_view format) {
    // A format without arguments: only the escaped percent sign has a meaning.
    std::string message;
    message.reserve(format.size());
    for (size_t i = 0; i < format.size(); ++i) {
        message.push_back(format[i]);
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') ++i;
    }
    // The message is printed as its writer laid it out, over several lines
    // if need be: what it holds from outside was escaped where it entered
    // (MSRLogContext). The category is the host's option.
    std::string line = foundation::printable(category);
    line.append("[").append(codeText).append("] ");
    return line + message;
}

void MSRConsoleLogger::logBasic(int level, std::string_view /*subsystem*/,
                                std::string_view category, bool force, std::string_view codeText,
                                std::string_view format) {
    if (!force && !isLoggableLevel(level)) return;
    std::string line = formatLine(category, codeText, format);
    std::lock_guard lock(sinkMutex_);
    if (sink_) {
        sink_(line);
    } else {
        line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
}
