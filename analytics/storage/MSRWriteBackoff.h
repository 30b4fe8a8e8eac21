#pragma once

// Paces writes that keep failing. A commit refused for want of disk space
// fails the same way when it is tried again at once, and a writer that runs
// on every event or every upload would try it again at once: after a failure
// the next attempt waits, twice as long after each failure in a row, up to a
// bound that still lets what is stored out soon after space returns. A write
// that commits ends the waiting.

#include <cstdint>
#include <optional>

class MSRWriteBackoff {
  public:
    static constexpr double kFirstDelay = 5;
    static constexpr double kLongestDelay = 300;

    // A failed write at `now` (seconds since 1970): logs the failure (12075)
    // with the time to the next attempt.
    void writeFailed(double now);
    void writeSucceeded();
    // Whether a write at `now` should wait for the retry time.
    bool isWaiting(double now) const { return retryTime_ && now < *retryTime_; }
    // The time of the next attempt while failures are counted.
    std::optional<double> retryTime() const { return retryTime_; }
    int64_t failuresInARow() const { return failures_; }

  private:
    int64_t failures_ = 0;
    std::optional<double> retryTime_;
};
