#include "platform/foundation/DataLoss.h"

#include <map>
#include <mutex>

namespace foundation {

namespace {

struct Losses {
    std::mutex mutex;
    std::map<std::string, int64_t> counts;
};

Losses& losses() {
    static Losses* shared = new Losses();  // noted from threads that may outlive static objects
    return *shared;
}

}  // namespace

void DataLoss::note(const std::string& what, int64_t count) {
    Losses& all = losses();
    std::lock_guard lock(all.mutex);
    all.counts[what] += count;
}

void DataLoss::recovered(const std::string& what) {
    Losses& all = losses();
    std::lock_guard lock(all.mutex);
    all.counts.erase(what);
}

std::optional<std::string> DataLoss::describe() {
    Losses& all = losses();
    std::lock_guard lock(all.mutex);
    if (all.counts.empty()) return std::nullopt;
    std::string text = "not stored: ";
    bool first = true;
    for (const auto& [what, count] : all.counts) {
        if (!first) text += "; ";
        first = false;
        text += count == 1 ? what : std::to_string(count) + " " + what;
    }
    return text;
}

void DataLoss::resetForTesting() {
    Losses& all = losses();
    std::lock_guard lock(all.mutex);
    all.counts.clear();
}

}  // namespace foundation
