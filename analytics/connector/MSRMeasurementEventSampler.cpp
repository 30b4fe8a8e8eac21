#include "analytics/connector/MSRMeasurementEventSampler.h"

#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/security/Random.h"

namespace {

void logSampling(int64_t level, int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

bool hasParameter(const MSRPBEvent& event, std::string_view name) {
    for (const MSRPBEventParam& param : MSRPBGetMessageArray<MSRPBEventParam>(event, MSREventSlot::kParams)) {
        if (MSRPBGetString(param, MSREventParamSlot::kName) == name) return true;
    }
    return false;
}

std::optional<int64_t> integerParameter(const MSRPBEvent& event, std::string_view name) {
    for (const MSRPBEventParam& param : MSRPBGetMessageArray<MSRPBEventParam>(event, MSREventSlot::kParams)) {
        if (MSRPBGetString(param, MSREventParamSlot::kName) == name &&
            MSRPBHasField(param, MSREventParamSlot::kIntValue))
            return MSRPBGetInt64(param, MSREventParamSlot::kIntValue);
    }
    return std::nullopt;
}

// An existing parameter of that name wins; the event keeps it as it is.
void addIntegerParameter(MSRPBEvent& event, const char* name, int64_t value, int64_t failureCode,
                         std::string_view failureMessage) {
    if (hasParameter(event, name)) {
        logSampling(4, 23156, "Event parameter already exists. Parameter name", {name});
        return;
    }
    MSRPBEventParam param;
    MSRPBSetString(param, MSREventParamSlot::kName, name);
    MSRPBSetInt64(param, MSREventParamSlot::kIntValue, value);
    if (!MSRPBHasField(param, MSREventParamSlot::kName)) {
        logSampling(2, failureCode, failureMessage);
        return;
    }
    std::vector<MSRPBEventParam> params = MSRPBTakeMessageArray<MSRPBEventParam>(event, MSREventSlot::kParams);
    params.push_back(std::move(param));
    MSRPBSetMessageArray(event, MSREventSlot::kParams, std::move(params));
}

}  // namespace

MSRMeasurementEventSampler::MSRMeasurementEventSampler(std::shared_ptr<MSRDatabase> database,
                                                       std::shared_ptr<MSRRemoteConfig> remoteConfig)
    : database_(std::move(database)), remoteConfig_(std::move(remoteConfig)) {}

bool MSRMeasurementEventSampler::isEventBundledAfterRoll(int32_t rate) {
    if (rate < 2) return true;
    return security::randomUniform(static_cast<uint32_t>(rate)) == 0;
}

int32_t MSRMeasurementEventSampler::dayNumber(double seconds) const {
    const double offset = remoteConfig_ ? remoteConfig_->analyticsAccountTimeZoneOffsetMinutes() * 60.0 : 0.0;
    const double day = std::trunc((seconds + offset) / 86400.0);
    if (!std::isfinite(day)) return 0;
    if (day >= std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (day <= std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(day);
}

bool MSRMeasurementEventSampler::canEventBeSampled(const MSRPBEvent& event) const {
    if (!remoteConfig_ || !remoteConfig_->isEventSamplingEnabled()) return false;
    const std::string name = MSRPBGetString(event, MSREventSlot::kName).value_or("");
    if (!remoteConfig_->eventHasSamplingRate(name)) return false;
    if (remoteConfig_->samplingRateForEvent(name) > 1) return true;
    logSampling(5, 23154, "Invalid sampling rate provided");
    return false;
}

std::optional<std::vector<MSRPBEvent>> MSRMeasurementEventSampler::sampleEvents(const std::vector<MSRPBEvent>& events,
                                                                                MSRError* error) {
    if (!database_) return events;
    MSRError readError;
    std::optional<std::vector<MSREventAggregates>> rows = database_->allEventAggregates(&readError);
    if (!rows) {
        logSampling(1, 23157, "Unable to query all event aggregates for cache. error", {readError});
        if (error) *error = readError;
        return std::nullopt;
    }
    std::map<std::string, MSREventAggregates> cache;
    for (MSREventAggregates& row : *rows) {
        if (!row.name().empty()) cache.emplace(row.name(), std::move(row));
    }

    std::vector<MSRPBEvent> kept;
    kept.reserve(events.size());
    for (const MSRPBEvent& original : events) {
        const std::string name = MSRPBGetString(original, MSREventSlot::kName).value_or("");
        if (name.empty()) {
            logSampling(2, 23155, "Dropping event at sampling. Event has no name");
            continue;
        }
        const double seconds = static_cast<double>(MSRPBGetInt64(original, MSREventSlot::kTimestamp)) / 1000.0;
        const int32_t day = dayNumber(seconds);
        auto found = cache.find(name);
        MSREventAggregates* aggregates = found == cache.end() ? nullptr : &found->second;

        if (!canEventBeSampled(original)) {
            if (aggregates) {
                aggregates->setLastBundledTimestamp(seconds);
                aggregates->setLastBundledDay(day);
            }
            kept.push_back(original);
            continue;
        }
        const int32_t rate = remoteConfig_->samplingRateForEvent(name);
        if (isEventBundledAfterRoll(rate)) {
            if (aggregates) {
                aggregates->setLastSamplingRate(rate);
                aggregates->setLastSampledComplexEventID(std::nullopt);
                aggregates->setLastBundledTimestamp(seconds);
                aggregates->setLastBundledDay(day);
            }
            MSRPBEvent event = original;
            addIntegerParameter(event, "_sr", rate, 23153, "Failed to create sampling rate parameter");
            kept.push_back(std::move(event));
            continue;
        }
        int32_t lastDay = aggregates ? aggregates->lastBundledDay() : 0;
        if (lastDay == 0)
            lastDay = dayNumber(static_cast<double>(MSRPBGetInt64(original, MSREventSlot::kPreviousTimestamp)) / 1000.0);
        if (lastDay != day) {
            // The first event of its name on a new day is always kept.
            if (aggregates) {
                aggregates->setLastBundledTimestamp(seconds);
                aggregates->setLastBundledDay(day);
                aggregates->setLastExemptFromSampling(true);
                aggregates->setLastSamplingRate(rate);
            }
            MSRPBEvent event = original;
            addIntegerParameter(event, "_sr", rate, 23153, "Failed to create sampling rate parameter");
            addIntegerParameter(event, "_efs", 1, 23158, "Failed to create exempt from sampling parameter");
            kept.push_back(std::move(event));
            continue;
        }
        if (aggregates) {
            if (std::optional<int64_t> complexID = integerParameter(original, "_eid"))
                aggregates->setLastSampledComplexEventID(complexID);
            aggregates->setLastSamplingRate(rate);
        }
    }

    for (const auto& [name, cached] : cache) {
        MSRError rowError;
        std::optional<MSREventAggregates> stored = database_->eventAggregatesWithName(name, &rowError);
        if (!stored) {
            // A row that went between the two reads has nothing to write back.
            if (rowError.code() == 0 && rowError.domain().empty()) continue;
            logSampling(1, 23151, "Unable to query event aggregates to update database. Name, error", {name, rowError});
            if (error) *error = rowError;
            return std::nullopt;
        }
        if (cached.lastBundledTimestamp() != 0) stored->setLastBundledTimestamp(cached.lastBundledTimestamp());
        stored->setLastBundledDay(cached.lastBundledDay());
        stored->setLastSamplingRate(cached.lastSamplingRate());
        stored->setLastSampledComplexEventID(cached.lastSampledComplexEventID());
        stored->setLastExemptFromSampling(cached.lastExemptFromSampling());
        if (!database_->updateEventAggregates(*stored, &rowError)) {
            logSampling(1, 23152, "Failed to update event aggregates after removing removing events due to sampling. Error",
                        {rowError});
            if (error) *error = rowError;
            return std::nullopt;
        }
    }
    return kept;
}
