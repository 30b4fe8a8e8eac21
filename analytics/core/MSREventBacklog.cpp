#include "analytics/core/MSREventBacklog.h"

#include <utility>

MSREventBacklog::MSREventBacklog(size_t limit, std::chrono::milliseconds longestWait)
    : limit_(limit), longestWait_(longestWait) {}

MSREventBacklog& MSREventBacklog::shared() {
    // Never destroyed: tickets in blocks that outlive main still give back to it.
    static auto* backlog = new MSREventBacklog(kDefaultLimit);
    return *backlog;
}

void MSREventBacklog::give() {
    const size_t left = held_.fetch_sub(1) - 1;
    given_.fetch_add(1);
    // The waiter counts itself before it looks at held_, so one of the two
    // sees the other: no wake-up is lost.
    if (left <= limit_ / 2 && waiters_.load() > 0) {
        std::lock_guard lock(mutex_);
        roomMade_.notify_all();
    }
}

MSREventBacklog::Ticket::Ticket(const Ticket& other) : backlog_(other.backlog_) {
    if (backlog_) backlog_->held_.fetch_add(1);
}

MSREventBacklog::Ticket& MSREventBacklog::Ticket::operator=(const Ticket& other) {
    if (this != &other) {
        release();
        backlog_ = other.backlog_;
        if (backlog_) backlog_->held_.fetch_add(1);
    }
    return *this;
}

MSREventBacklog::Ticket& MSREventBacklog::Ticket::operator=(Ticket&& other) noexcept {
    if (this != &other) {
        release();
        backlog_ = other.backlog_;
        other.backlog_ = nullptr;
    }
    return *this;
}

void MSREventBacklog::Ticket::release() {
    if (backlog_) std::exchange(backlog_, nullptr)->give();
}
