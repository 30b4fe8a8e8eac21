#include "platform/dispatch/Timer.h"

#include <mutex>

#include "platform/dispatch/Clock.h"

namespace dispatch {

struct Timer::State {
    std::mutex mutex;
    WorkItem item;
    unsigned long long generation = 0;
    bool active = false;
    std::optional<double> fireTime;
};

Timer::Timer(std::shared_ptr<Queue> queue) : queue_(std::move(queue)), state_(std::make_shared<State>()) {}

Timer::~Timer() { cancel(); }

void Timer::schedule(double delaySeconds, Task handler) {
    if (!handler || !queue_) return;
    double fireTime = Clock::now() + delaySeconds;
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->item.cancel();
    unsigned long long generation = ++state_->generation;
    state_->active = true;
    state_->fireTime = fireTime;
    std::weak_ptr<State> weak = state_;
    state_->item = queue_->asyncAtWallTime(fireTime, [weak, generation, handler = std::move(handler)] {
        auto state = weak.lock();
        if (!state) return;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->generation != generation || !state->active) return;
            state->fireTime.reset();
        }
        // Marks the timer idle after the handler unless the handler scheduled it again,
        // also when the handler throws.
        struct Settle {
            State& state;
            unsigned long long generation;
            ~Settle() {
                std::lock_guard<std::mutex> lock(state.mutex);
                if (state.generation == generation) state.active = false;
            }
        } settle{*state, generation};
        handler();
    });
}

void Timer::cancel() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->item.cancel();
    ++state_->generation;
    state_->active = false;
    state_->fireTime.reset();
}

bool Timer::isActive() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->active;
}

std::optional<double> Timer::fireTime() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->fireTime;
}

}  // namespace dispatch
