#include "platform/ui/Log.h"

#include <iostream>
#include <mutex>

#include "platform/foundation/Text.h"

namespace ui {
namespace {
std::mutex sinkMutex;
std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> current;
    return current;
}
}  // namespace

void log(const std::string& message) {
    std::function<void(const std::string&)> target;
    {
        std::lock_guard<std::mutex> lock(sinkMutex);
        target = sink();
    }
    if (target)
        target(message);
    else
        std::cerr << foundation::printable(message) << '\n';
}

void setLogSink(std::function<void(const std::string&)> newSink) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    sink() = std::move(newSink);
}

void fatalError(const std::string& message) {
    log("Fatal error: " + message);
    throw ProgrammingError(message);
}

}  // namespace ui
