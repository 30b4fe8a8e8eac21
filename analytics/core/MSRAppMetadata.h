#pragma once

#include <cstdint>
#include <optional>

// The record of the last upload bundle, kept in the analytics database's one
// application-metadata row and used when the next bundle is made.
class MSRAppMetadata {
public:
    // Nothing (logged) for a negative index.
    static std::optional<MSRAppMetadata> initWithLastBundleIndex(int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);

    // The index wraps from the largest 32-bit value to 0, with one log line.
    void incrementLastBundleIndex();

    int32_t lastBundleIndex() const { return lastBundleIndex_; }
    double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
    double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
    void setLastBundleStartTimestamp(double timestamp) { lastBundleStartTimestamp_ = timestamp; }
    void setLastBundleEndTimestamp(double timestamp) { lastBundleEndTimestamp_ = timestamp; }

private:
    MSRAppMetadata(int32_t index, double start, double end)
        : lastBundleIndex_(index), lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}

    int32_t lastBundleIndex_;
    double lastBundleStartTimestamp_;
    double lastBundleEndTimestamp_;
};
