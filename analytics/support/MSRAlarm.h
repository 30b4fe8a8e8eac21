#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace dispatch {
class Queue;
class Timer;
}  // namespace dispatch
class MSRMonitor;

// A named one-shot timer that runs a block once after a delay on a given
// queue. Scheduling again replaces the pending run; the block may schedule the
// alarm again when it fires. The owner calls it from the alarm's own queue, so
// the alarm has no lock. Destroying a pending alarm cancels it.
class MSRAlarm {
public:
    using Block = std::function<void()>;

    // An empty name becomes "Timer". `monitor` receives the log lines (the
    // shared monitor when null).
    MSRAlarm(std::shared_ptr<dispatch::Queue> queue, std::string name,
             std::shared_ptr<MSRMonitor> monitor = nullptr);
    ~MSRAlarm();
    MSRAlarm(const MSRAlarm&) = delete;
    MSRAlarm& operator=(const MSRAlarm&) = delete;

    // Schedules `block` once, `delay` seconds of wall time from now.
    void runAfterDelay(double delay, Block block);
    // Cancels the pending run, if any.
    void cancel();
    bool hasActiveTimer() const;

    // The wall time (seconds since 1970) of the pending run; nothing when idle.
    std::optional<double> scheduledTimestamp() const { return scheduledTimestamp_; }
    const std::string& name() const { return name_; }

private:
    void fire(const Block& block);

    std::shared_ptr<dispatch::Queue> queue_;
    std::unique_ptr<dispatch::Timer> timer_;
    std::string name_;
    std::optional<double> scheduledTimestamp_;
    std::shared_ptr<MSRMonitor> monitor_;
};
