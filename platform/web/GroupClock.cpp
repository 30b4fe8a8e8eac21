#include "platform/web/GroupClock.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace web {
namespace {

constexpr double kFirstLook = 1.0;
constexpr double kLookEvery = 0.25;
// Chromium's processes stand three deep (browser, zygote, renderer); a tree
// deeper than this is not a browser's.
constexpr int kDeepest = 8;

// The seconds each thread of `pid`, and of every process below it, has
// waited for a core, by thread id.
void collectWaits(pid_t pid, std::map<pid_t, double>& waits, int depth) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* folder = ::opendir(tasks.c_str());
    if (!folder) return;
    std::vector<pid_t> children;
    while (const dirent* task = ::readdir(folder)) {
        if (task->d_name[0] == '.') continue;
        const std::string path = tasks + "/" + task->d_name;
        std::ifstream schedstat(path + "/schedstat");
        unsigned long long running = 0, waiting = 0;
        if (schedstat >> running >> waiting) waits[std::atoi(task->d_name)] = static_cast<double>(waiting) / 1e9;
        std::ifstream below(path + "/children");
        for (pid_t child = 0; below >> child;) children.push_back(child);
    }
    ::closedir(folder);
    if (depth < kDeepest)
        for (const pid_t child : children) collectWaits(child, waits, depth + 1);
}

}  // namespace

GroupClock::GroupClock(pid_t leader, bool bornAfter)
    : began_(std::chrono::steady_clock::now()), leader_(0), bornAfter_(bornAfter) {
    follow(leader);
}

void GroupClock::follow(pid_t leader) {
    leader_ = leader;
    if (leader_ > 0 && !bornAfter_ && !looked_) look();
}

double GroupClock::wallSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
}

double GroupClock::seconds() {
    const double wall = wallSeconds();
    if (leader_ > 0 && wall >= kFirstLook && (!looked_ || wall - lastLook_ >= kLookEvery)) {
        look();
        lastLook_ = wall;
    }
    return std::max(0.0, wall - waited_);
}

void GroupClock::look() {
    std::map<pid_t, double> waits;
    collectWaits(leader_, waits, 0);
    const bool first = !looked_;
    looked_ = true;
    // A thread first seen later was born after the first look. A thread
    // that has ended keeps what it waited while it was seen.
    for (const auto& [thread, waited] : waits) {
        const auto at = threads_.try_emplace(thread, Waits{first && !bornAfter_ ? waited : 0.0, 0.0}).first;
        const double since = std::max(0.0, waited - at->second.atFirst);
        waited_ += since - at->second.counted;
        at->second.counted = since;
    }
}

int GroupDeadline::millisecondsLeft(int most) {
    const double left = secondsLeft();
    return static_cast<int>(std::clamp(left * 1000.0, 0.0, static_cast<double>(most)));
}

}  // namespace web
