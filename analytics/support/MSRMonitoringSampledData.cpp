#include "analytics/support/MSRMonitoringSampledData.h"

#include <cmath>
#include <limits>

bool MSRMonitoringSampledData::isValidUserDefaultsArrayEntry(const MSRPreferenceValue::Array& array) {
    return array.size() == 4 && array[0].get<std::string>() &&
           (array[1].get<int64_t>() || array[1].get<double>()) && array[2].get<std::string>() &&
           array[3].get<MSRPreferenceDate>();
}

MSRMonitoringSampledData::MSRMonitoringSampledData(
    const std::optional<MSRPreferenceValue::Array>& array) {
    if (!array || !isValidUserDefaultsArrayEntry(*array)) return;
    const auto& items = *array;
    Entry entry;
    entry.encodedContext = *items[0].get<std::string>();
    int64_t population = 0;
    if (auto i = items[1].get<int64_t>()) {
        population = *i;
    } else if (double d = *items[1].get<double>(); std::isfinite(d) && std::fabs(d) < 4e9) {
        population = static_cast<int64_t>(d);
    }
    if (population < 0 || population > std::numeric_limits<int32_t>::max()) return;
    entry.population = static_cast<int32_t>(population);
    entry.key = *items[2].get<std::string>();
    entry.timestamp = items[3].get<MSRPreferenceDate>()->secondsSince1970;
    entry_ = std::move(entry);
}

void MSRMonitoringSampledData::insertOrUpdateSampledDataWithKey(const std::string& key,
                                                                const std::string& encodedContext,
                                                                double now,
                                                                const RandomUniform& random) {
    if (!entry_) {
        entry_ = Entry{encodedContext, 1, key, now};
        return;
    }
    // The count saturates rather than wrapping, after which the kept report
    // simply stops changing.
    if (entry_->population == std::numeric_limits<int32_t>::max()) return;
    int32_t population = entry_->population + 1;
    entry_->population = population;
    if (random(static_cast<uint32_t>(population)) == 0) {
        entry_->key = key;
        entry_->encodedContext = encodedContext;
    }
}

std::optional<std::string> MSRMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp, double now) {
    if (!entry_) {
        if (lastSampledTimestamp > 0 && std::fabs(lastSampledTimestamp - now) > samplePeriod) {
            return "0:";
        }
        return std::nullopt;
    }
    if (!(entry_->timestamp < now - samplePeriod)) return std::nullopt;
    std::string text = std::to_string(entry_->population) + ":" + entry_->key;
    if (!entry_->encodedContext.empty()) text += ":" + entry_->encodedContext;
    entry_.reset();
    return text;
}

std::optional<MSRPreferenceValue::Array> MSRMonitoringSampledData::sampledData() const {
    if (!entry_) return std::nullopt;
    return MSRPreferenceValue::Array{entry_->encodedContext,
                                     static_cast<int64_t>(entry_->population), entry_->key,
                                     MSRPreferenceDate{entry_->timestamp}};
}
