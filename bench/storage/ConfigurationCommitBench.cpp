// One event's commit as the engine makes it (its metadata, the stored-event
// limit, the insert and the daily counts, one transaction), with no stored
// configuration and with one of 3 MB. The configuration is written once,
// before the timing: an event's commit must cost the same beside it.
//   configuration_commit_bench
// prints each case's rate; the ratio of the two is the figure (within 1.5x).
// It uses only the database's public operations, so the same source measures
// an older build of the storage too.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "bench/storage/BenchDatabase.h"
#include "platform/foundation/FileSystem.h"

namespace {

// A measurement configuration of about `bytes`, made of settings the engine
// keeps but does not use.
std::vector<uint8_t> configurationOf(size_t bytes) {
    MSRPBMeasurementConfig config;
    MSRPBSetString(config, MSRConfigSlot::kAppID, "1:1234567890:ios:abcdef");
    std::vector<MSRPBSetting> settings;
    for (size_t i = 0; i * 1024 < bytes; ++i) {
        MSRPBSetting setting;
        MSRPBSetString(setting, MSRSettingSlot::kName, "measurement.bench.padding_" + std::to_string(i));
        MSRPBSetString(setting, MSRSettingSlot::kValue, std::string(1000, 'p'));
        settings.push_back(std::move(setting));
    }
    MSRPBSetMessageArray(config, MSRConfigSlot::kSettings, settings);
    return *config.protoBuffer();
}

struct CommitFixture : BenchDatabase {
    explicit CommitFixture(size_t configurationBytes) : BenchDatabase("commit") {
        if (configurationBytes > 0) {
            stored = configurationOf(configurationBytes);
            database->updateRemoteConfigData(stored, nullptr);
        }
    }
    static MSREvent event(int64_t i) {
        return *MSREvent::initWithOrigin(
            "app", true, "kal_calculate", 1.7e9 + static_cast<double>(i) / 1000.0, 0,
            {{"steps", MSRValue(int64_t{12 + i % 7})}, {"_sc", MSRValue("CalculateViewController")}});
    }

    std::vector<uint8_t> stored;
};

// Argument: the stored configuration's size in KiB (0: none).
void BM_EventCommitBesideStoredConfiguration(benchmark::State& state) {
    CommitFixture f(static_cast<size_t>(state.range(0)) << 10);
    if (state.range(0) > 0 && !f.database->queryMeasurementConfigData(nullptr)) {
        state.SkipWithError("configuration not stored");
        return;
    }
    std::vector<MSREvent> events;
    for (int64_t i = 0; i < 1000; ++i) events.push_back(CommitFixture::event(i));
    size_t next = 0;
    for (auto _ : state) {
        const MSREvent& event = events[next++ % events.size()];
        const bool committed = f.database->performTransaction([&] {
            std::optional<MSRDailyCounts> counts = f.database->dailyCounts(nullptr);
            if (!counts) return false;
            MSRDailyCounts raised(counts->day(), counts->conversionsCount(), counts->allEventsCount() + 1,
                                  counts->publicEventsCount() + 1, counts->errorEventsCount(),
                                  counts->realtimeCount(), counts->dcuRealtimeCount());
            return f.database->insertIfNotExistsRawEventMetadata(f.metadata, nullptr) &&
                   f.database->deleteRawEventsOverAbsoluteLimit(nullptr) &&
                   f.database->insertRawEvent(event, f.fingerprint, false, nullptr) &&
                   f.database->updateDailyCounts(raised, nullptr);
        });
        if (!committed) state.SkipWithError("commit failed");
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["config_bytes"] = static_cast<double>(f.stored.size());
}
BENCHMARK(BM_EventCommitBesideStoredConfiguration)->Arg(0)->Arg(3 << 10)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
