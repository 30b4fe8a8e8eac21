#include "analytics/support/MSRAlarm.h"

#include "analytics/support/MSRMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Timer.h"

#include <cmath>

namespace {
// A century: the farthest an alarm is ever set, so that any delay, infinite
// ones included, has a firing time.
constexpr double kLongestDelay = 100.0 * 365 * 86400;
}  // namespace

MSRAlarm::MSRAlarm(std::shared_ptr<dispatch::Queue> queue, std::string name,
                   std::shared_ptr<MSRMonitor> monitor)
    : queue_(std::move(queue)),
      timer_(std::make_unique<dispatch::Timer>(queue_)),
      name_(name.empty() ? std::string("Timer") : std::move(name)),
      monitor_(monitor ? std::move(monitor) : MSRMonitor::shared()) {}

MSRAlarm::~MSRAlarm() { cancel(); }

void MSRAlarm::runAfterDelay(double delay, Block block) {
    if (!block) {
        monitor_->logWithLevel(1, 2000, name_ + " tried to schedule an empty block");
        return;
    }
    cancel();
    if (std::isnan(delay)) delay = 0;
    if (delay > kLongestDelay) delay = kLongestDelay;
    scheduledTimestamp_ = dispatch::Clock::now() + delay;
    timer_->schedule(delay, [this, block = std::move(block)] { fire(block); });
    monitor_->logWithLevel(7, 2002, name_ + " scheduled to fire in approx. (s)", {delay});
}

void MSRAlarm::fire(const Block& block) {
    monitor_->logWithLevel(7, 2001, name_ + " fired");
    cancel();
    // The alarm is idle again, so the block may set it anew.
    block();
}

void MSRAlarm::cancel() {
    if (!scheduledTimestamp_) return;
    monitor_->logWithLevel(7, 2003, name_ + " canceled");
    if (!hasActiveTimer()) {
        monitor_->logWithLevel(4, 2004, name_ + " is not active");
    } else {
        timer_->cancel();
    }
    scheduledTimestamp_.reset();
}

bool MSRAlarm::hasActiveTimer() const { return timer_->isActive(); }
