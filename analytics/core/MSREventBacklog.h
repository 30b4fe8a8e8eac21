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
//
// A public call never blocks: a caller waits at most kLongestWait, then takes
// its place over the limit and its event stays queued. A road that did not
// move during such a wait is not waited for again until it gives a place back,
// so a stuck worker costs the callers one wait, not one each.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
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

    // The longest a caller waits for room: short, and the public calls that
    // wait never block for long.
    static constexpr std::chrono::milliseconds kLongestWait{50};

    explicit MSREventBacklog(size_t limit, std::chrono::milliseconds longestWait = kLongestWait);
    MSREventBacklog(const MSREventBacklog&) = delete;
    MSREventBacklog& operator=(const MSREventBacklog&) = delete;

    // The backlog of the facade's event road; lives as long as the process.
    static MSREventBacklog& shared();

    // A place for one event, always. While every place is taken and `mayWait`
    // holds, waits until the backlog is down to half its limit, for at most
    // the longest wait; `mayWait` is asked again now and then, so a gate held shut
    // lets the caller go at once.
    template <typename MayWait>
    Ticket admit(MayWait&& mayWait) {
        if (held_.load() >= limit_ && !stalled() && mayWait()) waitForRoom(mayWait);
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
        const uint64_t givenBefore = given_.load();
        const auto deadline = std::chrono::steady_clock::now() + longestWait_;
        const auto roomMade = [this] { return held_.load() <= limit_ / 2; };
        while (!roomMade() && mayWait()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) break;
            std::unique_lock lock(mutex_);
            roomMade_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(kRecheck, deadline - now),
                               roomMade);
        }
        // Not one place came back meanwhile: the road is stuck.
        if (!roomMade() && given_.load() == givenBefore) stalledAt_.store(givenBefore);
        waiters_.fetch_sub(1);
    }
    // Whether the last wait ran out with the road standing, and it has not
    // moved since.
    bool stalled() const { return stalledAt_.load() == given_.load(); }
    void give();

    static constexpr std::chrono::milliseconds kRecheck{10};

    const size_t limit_;
    const std::chrono::milliseconds longestWait_;
    std::atomic<size_t> held_{0};
    std::atomic<size_t> waiters_{0};
    // Places given back so far, and that count when a wait last found the
    // road standing (never a count reached: none yet).
    std::atomic<uint64_t> given_{0};
    std::atomic<uint64_t> stalledAt_{UINT64_MAX};
    std::mutex mutex_;
    std::condition_variable roomMade_;
};
