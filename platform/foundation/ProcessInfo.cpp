#include "platform/foundation/ProcessInfo.h"

#include <mutex>

namespace foundation {

namespace {

struct Arguments {
    std::mutex mutex;
    std::vector<std::string> values;
};

Arguments& shared() {
    static Arguments instance;
    return instance;
}

}  // namespace

std::vector<std::string> ProcessInfo::arguments() {
    std::lock_guard lock(shared().mutex);
    return shared().values;
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
    std::lock_guard lock(shared().mutex);
    shared().values = std::move(arguments);
}

}  // namespace foundation
