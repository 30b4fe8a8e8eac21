#include "analytics/core/MSRAudienceTimestampsCache.h"

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/support/MSRMonitor.h"

namespace {

std::optional<MSRPBResultData> decodedResultData(const MSRFilterResult* result) {
    if (!result || result->currentResults().empty()) return std::nullopt;
    return MSRPBResultData::initWithBuffer(result->currentResults());
}

}  // namespace

void MSRAudienceTimestampsCache::populateCachedTimestamps(const MSRFilterResult* result, int32_t audienceID) {
    const bool needsDynamic = !dynamic_.count(audienceID);
    const bool needsSequence = !sequence_.count(audienceID);
    if (!needsDynamic && !needsSequence) return;
    std::optional<MSRPBResultData> data = decodedResultData(result);
    if (needsDynamic) {
        std::map<int32_t, double>& times = dynamic_[audienceID];
        if (data) {
            for (const auto& entry : MSRPBGetMessageArray<MSRPBDynamicFilterResultTimestamp>(
                     *data, MSRResultDataSlot::kDynamicTimestamps)) {
                times[MSRPBGetInt32(entry, MSRDynamicFilterResultTimestampSlot::kFilterID)] =
                    static_cast<double>(MSRPBGetInt64(entry, MSRDynamicFilterResultTimestampSlot::kTimestamp));
            }
        }
    }
    if (needsSequence) {
        MSRSequenceTimestampsCache cache(audienceID);
        if (data) {
            for (const auto& entry : MSRPBGetMessageArray<MSRPBSequenceFilterResultTimestamp>(
                     *data, MSRResultDataSlot::kSequenceTimestamps)) {
                std::vector<MSRPBValue> times = MSRPBGetArray(entry, MSRSequenceFilterResultTimestampSlot::kTimestamps);
                if (times.empty()) continue;
                const auto* last = std::get_if<int64_t>(&times.back());
                if (!last) continue;
                cache.addEventFilterTimestamp(static_cast<double>(*last),
                                              MSRPBGetInt32(entry, MSRSequenceFilterResultTimestampSlot::kFilterID));
            }
        }
        sequence_.emplace(audienceID, std::move(cache));
    }
}

void MSRAudienceTimestampsCache::addEvaluationTimestamp(double timestamp, const MSRAudienceFilter& filter) {
    const int32_t audienceID = filter.audienceID();
    if (filter.isSequence()) {
        auto found = sequence_.try_emplace(audienceID, audienceID).first;
        if (filter.isEventFilter()) {
            found->second.addEventFilterTimestamp(timestamp, filter.filterID());
        } else {
            found->second.setUserPropertyTimestamp(timestamp, filter.filterID());
        }
        return;
    }
    if (!filter.isDynamic() && !filter.isSessionScoped()) return;
    auto times = dynamic_.find(audienceID);
    if (times == dynamic_.end()) return;
    auto stored = times->second.find(filter.filterID());
    const double previous = stored == times->second.end() ? 0 : stored->second;
    if (previous < timestamp) {
        times->second[filter.filterID()] = timestamp;
    } else if (std::shared_ptr<MSRMonitor> monitor = MSRMonitor::shared()) {
        monitor->logWithLevel(5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp", {});
    }
}

std::vector<MSRPBDynamicFilterResultTimestamp> MSRAudienceTimestampsCache::dynamicTimestampsForAudienceID(
    int32_t audienceID) const {
    std::vector<MSRPBDynamicFilterResultTimestamp> entries;
    auto found = dynamic_.find(audienceID);
    if (found == dynamic_.end()) return entries;
    for (const auto& [filterID, time] : found->second) {
        MSRPBDynamicFilterResultTimestamp entry;
        MSRPBSetInt32(entry, MSRDynamicFilterResultTimestampSlot::kFilterID, filterID);
        MSRPBSetInt64(entry, MSRDynamicFilterResultTimestampSlot::kTimestamp, static_cast<int64_t>(time));
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::optional<std::vector<MSRPBSequenceFilterResultTimestamp>> MSRAudienceTimestampsCache::sequenceTimestampsForAudienceID(
    int32_t audienceID) const {
    auto found = sequence_.find(audienceID);
    if (found == sequence_.end()) return std::nullopt;
    return found->second.sequenceFilterResultTimestamps();
}
