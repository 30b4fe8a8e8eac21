#pragma once

// An engine from MeasurementFixture with what the event tests read and set:
// the raw events as stored, the daily counters, and the internal "_err"
// events the engine raises (captured, not stored, so that the counters stay
// exactly what a test expects).

#include <functional>
#include <string>
#include <vector>

#include "MeasurementFixture.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/model/MSRCleanEventParameters.h"

struct StoredEvent {
    std::string origin, name;
    MSRParameters parameters;
    bool realtime = false;
    bool has(const std::string& key, const MSRValue& value) const {
        auto found = parameters.find(key);
        return found != parameters.end() && found->second == value;
    }
};

class MeasurementEventsHarness : public MeasurementFixture {
  protected:
    void SetUp() override {
        MeasurementFixture::SetUp();
        MSRSetInternalEventLogger(
            [this](const std::string&, const std::string&, const MSRParameters& parameters) {
                errorCodes.push_back(parameters.at("_err").int64Value());
            });
    }
    void TearDown() override {
        // Back to the facade's own road for internal events.
        MSRSetInternalEventLogger(
            [](const std::string& origin, const std::string& name, const MSRParameters& p) {
                MSRAnalytics::logInternalEventWithOrigin(origin, name, MSRObjectsFromParameters(p));
            });
        MeasurementFixture::TearDown();
    }

    // As the facade hands an event over (public when the application logs a
    // public name); runs the queues until idle.
    void log(const std::string& name, const MSRObjectDictionary& parameters = {},
             const std::string& origin = "app") {
        bool isPublic = origin == "app" && name[0] != '_';
        engine().logEvent(origin, isPublic, name, parameters, now(), true, false, false, {}, std::nullopt);
        runUntilIdle();
    }
    void onWorker(std::function<void()> block) {
        engine().scheduler()->scheduleOnWorkerQueueBlockID("test", std::move(block));
        runUntilIdle();
    }
    // Raw events in the order stored; only those named `name` when given.
    std::vector<StoredEvent> stored(const std::string& name = "") {
        std::vector<StoredEvent> events;
        database().allDataTypesFromTable("raw_events", -1, nullptr, [&](const MSRSqliteRow& row, MSRError*) {
            auto data = database().rawEventDataFromDictionary(&row, nullptr);
            if (data && (name.empty() || data->rawEvent().name() == name)) {
                events.push_back({data->rawEvent().origin(), data->rawEvent().name(),
                                  data->rawEvent().parameters(), MSRSqliteInt64(row.at("is_realtime")) == 1});
            }
            return true;
        });
        return events;
    }
    MSRDailyCounts counts() { return *database().dailyCounts(nullptr); }
    void setCounts(int32_t all, int32_t publicCount, int32_t errors, int32_t realtime = 0, int32_t dcu = 0) {
        int32_t today = MSRDailyCounts::dayForTime(now(), persistedConfig().midnightOffset());
        ASSERT_TRUE(database().updateDailyCounts(
            MSRDailyCounts(today, 0, all, publicCount, errors, realtime, dcu), nullptr));
    }
    void execute(const std::string& statement) { sql(statement); }
    std::vector<int64_t> takeErrorCodes() { return std::exchange(errorCodes, {}); }

    std::vector<int64_t> errorCodes;
};
