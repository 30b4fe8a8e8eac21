#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Per internal event name: how often it fired over the installation's
// lifetime, in the bundle being built and in the current session, when it
// last fired, and the sampling state of its last bundled occurrence.
class MSREventAggregates {
  public:
    // Nothing when the name is not a valid internal event name or a count is
    // negative (logged).
    static std::optional<MSREventAggregates> initWithName(std::string_view name, int32_t lifetimeCount,
                                                          int32_t currentBundleCount,
                                                          int32_t currentSessionCount,
                                                          double lastFireTimestamp);

    // Each adds 1; a counter at the 32-bit maximum starts again at 0 (logged).
    void incrementLifetimeCount();
    void incrementCurrentBundleCount();
    void incrementCurrentSessionCount();

    const std::string& name() const { return name_; }
    int32_t lifetimeCount() const { return lifetimeCount_; }
    int32_t currentBundleCount() const { return currentBundleCount_; }
    int32_t currentSessionCount() const { return currentSessionCount_; }

    bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
    void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
    int32_t lastSamplingRate() const { return lastSamplingRate_; }
    void setLastSamplingRate(int32_t rate) { lastSamplingRate_ = rate; }
    int32_t lastBundledDay() const { return lastBundledDay_; }
    void setLastBundledDay(int32_t day) { lastBundledDay_ = day; }
    double lastFireTimestamp() const { return lastFireTimestamp_; }
    void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
    double lastBundledTimestamp() const { return lastBundledTimestamp_; }
    void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
    const std::optional<int64_t>& lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
    void setLastSampledComplexEventID(std::optional<int64_t> id) { lastSampledComplexEventID_ = id; }

  private:
    MSREventAggregates() = default;

    bool lastExemptFromSampling_ = false;
    int32_t lifetimeCount_ = 0;
    int32_t currentBundleCount_ = 0;
    int32_t currentSessionCount_ = 0;
    int32_t lastSamplingRate_ = 1;
    int32_t lastBundledDay_ = 0;
    std::string name_;
    double lastFireTimestamp_ = 0;
    double lastBundledTimestamp_ = 0;
    std::optional<int64_t> lastSampledComplexEventID_;
};
