#include "platform/foundation/DataLoss.h"

#include <map>
#include <mutex>

namespace foundation {

namespace {

struct Loss {
    int64_t count = 0;
    std::string counted;
};

struct Losses {
    std::mutex mutex;
    std::map<std::string, Loss> counts;
};

Losses& losses() {
    static Losses* shared = new Losses();  // noted from threads that may outlive static objects
    return *shared;
}

}  // namespace

void DataLoss::note(const std::string& what, int64_t count, const std::string& counted) {
    Losses& all = losses();
    std::lock_guard lock(all.mutex);
    Loss& loss = all.counts[what];
    loss.count += count;
    if (!counted.empty()) loss.counted = counted;
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
    for (const auto& [what, loss] : all.counts) {
        if (!first) text += "; ";
        first = false;
        text += what;
        if (!loss.counted.empty()) text += " (" + loss.counted + ": " + std::to_string(loss.count) + ")";
    }
    return text;
}

void DataLoss::resetForTesting() {
    Losses& all = losses();
    std::lock_guard lock(all.mutex);
    all.counts.clear();
}

}  // namespace foundation
