#include "analytics/core/MSRSequenceTimestampsCache.h"

#include <algorithm>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/support/MSRMonitor.h"

namespace {

void reportTimestampsCache(int64_t level, int64_t code, std::string_view message) {
    if (std::shared_ptr<MSRMonitor> monitor = MSRMonitor::shared()) monitor->logWithLevel(level, code, message, {});
}

}  // namespace

std::optional<std::vector<double>> MSRSequenceTimestampsCache::sequenceTimestampsForFilterID(int32_t filterID) const {
    auto found = timestamps_.find(filterID);
    if (found == timestamps_.end()) return std::nullopt;
    return found->second;
}

void MSRSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, int32_t filterID) {
    std::vector<double>& times = timestamps_[filterID];
    if (!times.empty() && times.back() > timestamp)
        reportTimestampsCache(5, 42000, "Adding a sequence timestamp less than the last added timestamp");
    if (!times.empty() && static_cast<int64_t>(times.back()) == static_cast<int64_t>(timestamp)) return;
    times.push_back(timestamp);
}

void MSRSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, int32_t filterID) {
    std::vector<double>& times = timestamps_[filterID];
    if (!times.empty() && times.back() > timestamp)
        reportTimestampsCache(5, 42001, "Setting a sequence timestamp less than the last set timestamp");
    times.assign(1, timestamp);
}

std::vector<MSRPBSequenceFilterResultTimestamp> MSRSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
    std::vector<MSRPBSequenceFilterResultTimestamp> entries;
    for (const auto& [filterID, times] : timestamps_) {
        MSRPBSequenceFilterResultTimestamp entry;
        MSRPBSetInt32(entry, MSRSequenceFilterResultTimestampSlot::kFilterID, filterID);
        if (!times.empty()) {
            std::vector<double> sorted = times;
            std::sort(sorted.begin(), sorted.end());
            std::vector<MSRPBValue> values;
            values.reserve(sorted.size());
            for (double time : sorted) values.emplace_back(static_cast<int64_t>(time));
            MSRPBSetArray(entry, MSRSequenceFilterResultTimestampSlot::kTimestamps, values);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}
