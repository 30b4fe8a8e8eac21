#pragma once

// The events between the facade's log call and the worker's handling of them.
// Each one holds a place (a Ticket) from the moment the call admits it until
// the worker has handled it, wherever it waits in between: the operation
// gate, the facade's serial queue or the worker's batch. When the places are
// all taken, a caller that may wait does so until the worker has worked the
// backlog down to half, so a burst waits in the caller instead of as copies in
// the queues. A caller that must not wait (one the road itself may be waiting
// for, such as the worker logging its own error events) says so and takes its
// place over the limit.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

class MSREventBacklog {
  public:
    // The places of the process's one event road: some hundred kilobytes of
    // waiting events, and half of it, what the caller refills at each wake-up,
    // is still milliseconds of the worker's work.
    static constexpr size_t kDefaultLimit = 1024;

    // A held place. A copy holds a place of its own (it is another copy of the
    // event); a moved-from or default ticket holds none.
    class Ticket {
      public:
        Ticket() = default;
        ~Ticket() { release(); }
        Ticket(const Ticket& other);
        Ticket& operator=(const Ticket& other);
        Ticket(Ticket&& other) noexcept : backlog_(other.backlog_) { other.backlog_ = nullptr; }
        Ticket& operator=(Ticket&& other) noexcept;

        bool holdsPlace() const { return backlog_ != nullptr; }
        // Gives the place back now.
        void release();

      private:
        friend class MSREventBacklog;
        explicit Ticket(MSREventBacklog* backlog) : backlog_(backlog) {}
        MSREventBacklog* backlog_ = nullptr;
    };

    explicit MSREventBacklog(size_t limit);
    MSREventBacklog(const MSREventBacklog&) = delete;
    MSREventBacklog& operator=(const MSREventBacklog&) = delete;

    // The backlog of the facade's event road; lives as long as the process.
    static MSREventBacklog& shared();

    // A place for one event. While every place is taken and `mayWait` holds,
    // waits until the backlog is down to half its limit; `mayWait` is asked
    // again now and then, so a road that stops moving (a gate held shut) lets
    // the caller go.
    template <typename MayWait>
    Ticket admit(MayWait&& mayWait) {
        if (held_.load() >= limit_ && mayWait()) waitForRoom(mayWait);
        held_.fetch_add(1);
        return Ticket(this);
    }

    // Places held now.
    size_t held() const { return held_.load(); }
    size_t limit() const { return limit_; }

  private:
    // `mayWait` is asked without the lock held: it may take locks of its own
    // under which places are given back.
    template <typename MayWait>
    void waitForRoom(MayWait& mayWait) {
        waiters_.fetch_add(1);
        const auto roomMade = [this] { return held_.load() <= limit_ / 2; };
        while (!roomMade() && mayWait()) {
            std::unique_lock lock(mutex_);
            roomMade_.wait_for(lock, kRecheck, roomMade);
        }
        waiters_.fetch_sub(1);
    }
    void give();

    static constexpr std::chrono::milliseconds kRecheck{50};

    const size_t limit_;
    std::atomic<size_t> held_{0};
    std::atomic<size_t> waiters_{0};
    std::mutex mutex_;
    std::condition_variable roomMade_;
};
