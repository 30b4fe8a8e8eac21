#pragma once

#include <memory>
#include <optional>

#include "platform/dispatch/Queue.h"

namespace dispatch {

// A one-shot timer on a queue, counted on the wall clock (a change of the clock
// moves the firing). Scheduling again replaces the pending run; a zero or
// negative delay fires as soon as the queue gets to it.
//
// The timer is active from schedule() until cancel(), or until its handler has
// returned; a handler may schedule the same timer again. Destroying the timer
// cancels it.
class Timer {
public:
    explicit Timer(std::shared_ptr<Queue> queue);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void schedule(double delaySeconds, Task handler);
    void cancel();
    bool isActive() const;

    // The wall time (seconds since 1970) of the pending run, if any.
    std::optional<double> fireTime() const;

    const std::shared_ptr<Queue>& queue() const { return queue_; }

private:
    struct State;
    std::shared_ptr<Queue> queue_;
    std::shared_ptr<State> state_;
};

}  // namespace dispatch
