#include "platform/dispatch/ManualExecutor.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <limits>

namespace dispatch {

namespace {

std::atomic<ManualExecutor*> gInstalledExecutor{nullptr};

// Repeated float additions may land a hair short of a deadline; this much
// early counts as due.
constexpr double kDueSlack = 1e-9;

}  // namespace

ManualExecutor::ManualExecutor(double wallTime, double uptime)
    : clock_(wallTime, uptime), owner_(std::this_thread::get_id()) {
    ManualExecutor* expected = nullptr;
    bool first = gInstalledExecutor.compare_exchange_strong(expected, this);
    assert(first && "only one ManualExecutor may be alive at a time");
    (void)first;
    Clock::install(&clock_);
}

ManualExecutor::~ManualExecutor() {
    Clock::install(nullptr);
    ManualExecutor* self = this;
    gInstalledExecutor.compare_exchange_strong(self, nullptr);
    std::deque<Entry> ready;
    std::vector<Entry> delayed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ready.swap(ready_);
        delayed.swap(delayed_);
    }
    // The dropped blocks (and the queues they keep alive) go away outside the lock.
}

ManualExecutor* ManualExecutor::installed() { return gInstalledExecutor.load(std::memory_order_acquire); }

bool ManualExecutor::onOwnerThread() const { return owner_ == std::this_thread::get_id(); }

void ManualExecutor::post(Queue* queue, Task block) {
    Entry entry;
    entry.keep = queue->weak_from_this().lock();
    entry.queue = queue;
    entry.block = std::move(block);
    std::lock_guard<std::mutex> lock(mutex_);
    entry.seq = seq_++;
    ready_.push_back(std::move(entry));
}

void ManualExecutor::postDelayed(Queue* queue, bool wallClock, double when, Task block,
                                 std::shared_ptr<std::atomic<bool>> cancelled) {
    Entry entry;
    entry.weak = queue->weak_from_this();
    entry.owned = !entry.weak.expired();
    entry.queue = queue;
    entry.block = std::move(block);
    entry.cancelled = std::move(cancelled);
    entry.wallClock = wallClock;
    entry.due = when;
    std::lock_guard<std::mutex> lock(mutex_);
    entry.seq = seq_++;
    // Work that is due already queues up behind what came before it, as async does.
    if (when <= (wallClock ? clock_.wallTime() : clock_.uptime()) + kDueSlack) {
        entry.keep = entry.weak.lock();
        ready_.push_back(std::move(entry));
    } else {
        delayed_.push_back(std::move(entry));
    }
}

// Moves delayed entries that have fallen due to the back of the due FIFO, the
// one that fell due first going first.
void ManualExecutor::promoteDue() {
    double wall = clock_.wallTime();
    double up = clock_.uptime();
    std::vector<Entry> due;
    for (auto it = delayed_.begin(); it != delayed_.end();) {
        if (it->cancelled && it->cancelled->load()) {
            it = delayed_.erase(it);
        } else if (it->due <= (it->wallClock ? wall : up) + kDueSlack) {
            it->keep = it->weak.lock();
            // Delayed work of a queue that went away goes with it.
            if (!it->owned || it->keep) due.push_back(std::move(*it));
            it = delayed_.erase(it);
        } else {
            ++it;
        }
    }
    auto lateness = [&](const Entry& e) { return e.due - (e.wallClock ? wall : up); };
    std::stable_sort(due.begin(), due.end(), [&](const Entry& a, const Entry& b) {
        double la = lateness(a), lb = lateness(b);
        return la != lb ? la < lb : a.seq < b.seq;
    });
    for (auto& entry : due) ready_.push_back(std::move(entry));
}

bool ManualExecutor::runnable(const Entry& entry) const {
    if (!entry.queue->isSerial()) return true;
    return std::find(running_.begin(), running_.end(), entry.queue) == running_.end();
}

bool ManualExecutor::runOne() {
    Entry entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        promoteDue();
        auto it = ready_.begin();
        while (it != ready_.end()) {
            if (it->cancelled && it->cancelled->load()) {
                it = ready_.erase(it);
                continue;
            }
            if (runnable(*it)) break;
            ++it;
        }
        if (it == ready_.end()) return false;
        entry = std::move(*it);
        ready_.erase(it);
        running_.push_back(entry.queue);
    }
    struct Pop {
        ManualExecutor* self;
        ~Pop() {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->running_.pop_back();  // nested runs unwind in order
        }
    } pop{this};
    entry.block();
    return true;
}

size_t ManualExecutor::runUntilIdle() {
    size_t count = 0;
    while (runOne()) ++count;
    return count;
}

std::optional<double> ManualExecutor::nextDelayLocked() const {
    std::optional<double> best;
    double wall = clock_.wallTime();
    double up = clock_.uptime();
    for (const auto& entry : delayed_) {
        if (entry.cancelled && entry.cancelled->load()) continue;
        double delay = std::max(0.0, entry.due - (entry.wallClock ? wall : up));
        if (!best || delay < *best) best = delay;
    }
    return best;
}

std::optional<double> ManualExecutor::nextDelay() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return nextDelayLocked();
}

size_t ManualExecutor::pendingCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& entry : ready_) count += !(entry.cancelled && entry.cancelled->load());
    for (const auto& entry : delayed_) count += !(entry.cancelled && entry.cancelled->load());
    return count;
}

size_t ManualExecutor::advanceBy(double seconds) {
    size_t count = runUntilIdle();
    double remaining = std::max(0.0, seconds);
    for (;;) {
        std::optional<double> next = nextDelay();
        if (!next || *next > remaining) break;
        clock_.advance(*next);
        remaining -= *next;
        size_t ran = runUntilIdle();
        count += ran;
        // A due block that cannot run (its queue is busy up the stack) must not spin us.
        if (ran == 0 && *next == 0) break;
    }
    clock_.advance(remaining);
    return count + runUntilIdle();
}

size_t ManualExecutor::advanceToNext() {
    size_t count = runUntilIdle();
    std::optional<double> next = nextDelay();
    if (!next) return count;
    clock_.advance(*next);
    return count + runUntilIdle();
}

bool ManualExecutor::runUntil(const std::function<bool()>& done, std::optional<double> maxAdvance) {
    double budget = maxAdvance ? (*maxAdvance < 0 ? std::numeric_limits<double>::infinity() : *maxAdvance) : 0;
    for (;;) {
        if (done()) return true;
        if (runOne()) continue;
        std::optional<double> next = nextDelay();
        if (next && *next > 0 && *next <= budget) {
            clock_.advance(*next);
            budget -= *next;
            continue;
        }
        if (budget > 0 && budget != std::numeric_limits<double>::infinity()) {
            // Nothing else will happen before the time-out: let it pass.
            clock_.advance(budget);
            budget = 0;
            continue;
        }
        return false;
    }
}

}  // namespace dispatch
