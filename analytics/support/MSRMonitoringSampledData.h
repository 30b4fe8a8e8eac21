#pragma once

#include "analytics/support/MSRPreferenceStore.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The health monitor's reservoir: one randomly chosen report of the current
// sample period with the number of reports that fell into it. Memory stays
// constant however many reports arrive. Not thread-safe: the monitor touches it
// only on its own queue.
class MSRMonitoringSampledData {
public:
    struct Entry {
        std::string encodedContext;
        int32_t population = 0;
        std::string key;
        double timestamp = 0;  // first report of the period, seconds since 1970
        bool operator==(const Entry&) const = default;
    };

    // Draws a uniform integer in [0, bound).
    using RandomUniform = std::function<uint32_t(uint32_t bound)>;

    MSRMonitoringSampledData() = default;
    // Keeps a stored array only when it has the entry's shape.
    explicit MSRMonitoringSampledData(const std::optional<MSRPreferenceValue::Array>& array);

    // An array of exactly four items: text, number, text, date.
    static bool isValidUserDefaultsArrayEntry(const MSRPreferenceValue::Array& array);

    // Counts one report; it replaces the kept one with probability 1/n, where
    // n is the population including it.
    void insertOrUpdateSampledDataWithKey(const std::string& key, const std::string& encodedContext,
                                          double now, const RandomUniform& random);

    // The text to upload once the period of the kept entry has passed ("n:key"
    // or "n:key:context"; the entry is then dropped), "0:" when nothing was
    // reported for longer than a period since the last dispatch, otherwise
    // nothing.
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(
        double samplePeriod, double lastSampledTimestamp, double now);

    const std::optional<Entry>& entry() const { return entry_; }
    // The stored form of the entry; nothing when there is none.
    std::optional<MSRPreferenceValue::Array> sampledData() const;

private:
    std::optional<Entry> entry_;
};
