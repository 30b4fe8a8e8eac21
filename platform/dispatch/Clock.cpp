#include "platform/dispatch/Clock.h"

#include <time.h>

#include <atomic>

namespace dispatch {

namespace {
std::atomic<Clock*> gInstalled{nullptr};

double seconds(const timespec& ts) { return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9; }
}  // namespace

Clock& Clock::current() {
    Clock* clock = gInstalled.load(std::memory_order_acquire);
    return clock ? *clock : SystemClock::shared();
}

void Clock::install(Clock* clock) { gInstalled.store(clock, std::memory_order_release); }

SystemClock& SystemClock::shared() {
    static SystemClock clock;
    return clock;
}

double SystemClock::wallTime() const {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return seconds(ts);
}

double SystemClock::uptime() const {
    // The boot clock keeps counting while the machine sleeps, as time since boot does.
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return seconds(ts);
}

FakeClock::FakeClock(double wallTime, double uptime) : wall_(wallTime), uptime_(uptime) {}

double FakeClock::wallTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wall_;
}

double FakeClock::uptime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return uptime_;
}

void FakeClock::advance(double seconds) {
    if (!(seconds > 0)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    wall_ += seconds;
    uptime_ += seconds;
}

void FakeClock::setWallTime(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    wall_ = seconds;
}

void FakeClock::setUptime(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    uptime_ = seconds;
}

}  // namespace dispatch
