// What the application holds while it takes a server's answers at their
// bounds, end to end: the event driver (the real engine in a process of its
// own) started against a loopback collector that serves a configuration at
// every bound of the wire table, or an experiments answer at every bound, or
// both, or neither. Both are fetched 10 s after the start; the driver's second event,
// logged 15 s after its first, is uploaded once both are in, and the
// driver's peak resident size (VmHWM) is read then. A second start on the
// same data root, with the answers stored, gives the peak of a later start.
//
//   answers_bounds_bench [--benchmark_filter=...]   (CALVARO_EVENT_DRIVER=PATH to measure another build)
//
// Each row is one run; on a shared machine repeat the whole program and read
// the rows against the usual run's, which has the same noise.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "bench/support/BenchTemporaryFolder.h"
#include "tools/assembler/ProgramAssembler.h"
#include "tools/collector/MeasurementCollector.h"
#include "tools/eventdriver/DriverProcess.h"

namespace {

constexpr const char* kBoundsApp = "1:1000000000:ios:0b0d";

// The event driver: CALVARO_EVENT_DRIVER, else the one beside this build's
// benchmarks.
std::string driverPath() {
    if (const char* given = std::getenv("CALVARO_EVENT_DRIVER")) return given;
    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) return {};
    return (std::filesystem::path(self).parent_path() / "../../tools/eventdriver/event_driver")
        .lexically_normal();
}

int64_t peakOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) << 10;
    return 0;
}

std::string padded(const std::string& text, size_t length) {
    return text + std::string(length - text.size(), 'v');
}

// Every list of the configuration at its bound, as far as the bound on its
// message elements in total lets them be together, and its bytes near the
// bound of a configuration's size.
MSRPBMeasurementConfig configurationAtEveryBound() {
    MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(
        kBoundsApp, 2, {{"measurement.upload.initial_upload_delay_time", "1000"}});
    size_t elements = 0;
    std::vector<MSRPBSetting> settings(MSRPBWireMost::kSettingsPerConfig - 1);
    for (size_t i = 0; i < settings.size(); ++i) {
        MSRPBSetString(settings[i], MSRSettingSlot::kName, "measurement.bench_" + std::to_string(i));
        MSRPBSetString(settings[i], MSRSettingSlot::kValue, padded("1", 160));
    }
    std::vector<MSRPBSetting> all = MSRPBGetMessageArray<MSRPBSetting>(config, MSRConfigSlot::kSettings);
    all.insert(all.end(), settings.begin(), settings.end());
    elements += all.size();
    MSRPBSetMessageArray(config, MSRConfigSlot::kSettings, std::move(all));
    std::vector<MSRPBEventConfig> events(MSRPBWireMost::kEventConfigsPerConfig);
    for (size_t i = 0; i < events.size(); ++i)
        MSRPBSetString(events[i], MSREventConfigSlot::kName, "event_" + std::to_string(i));
    elements += events.size();
    MSRPBSetMessageArray(config, MSRConfigSlot::kEventConfigs, std::move(events));

    // One program of a function of as many literals as the entity bound
    // takes, and nine empty ones beside it.
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleProgram(R"((function "f" (array) true))");
    ProgramAssembler::repeatLastArgument(*program, 0, MSRPBWireMost::kProgramEntities - 8);
    std::vector<MSRPBProgram> programs(10);
    programs[0] = *program;
    elements += programs.size() + MSRPBWireMost::kProgramEntities;
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::move(programs));

    std::vector<MSRPBDataControl> controls(100);
    for (size_t i = 0; i < controls.size(); ++i)
        MSRPBSetString(controls[i], MSRDataControlSlot::kName, "control_" + std::to_string(i));
    elements += controls.size();
    MSRPBSetMessageArray(config, MSRConfigSlot::kDataControls, std::move(controls));
    MSRPBConsentConfig consent;
    MSRPBConsentDefaultEntry consentDefault;
    MSRPBSetInt32(consentDefault, MSRConsentDefaultSlot::kConsentType, 2);
    MSRPBSetInt32(consentDefault, MSRConsentDefaultSlot::kStatus, 1);
    MSRPBSetMessageArray(consent, MSRConsentConfigSlot::kDefaults,
                         std::vector<MSRPBConsentDefaultEntry>(16, consentDefault));
    MSRPBSetMessageArray(consent, MSRConsentConfigSlot::kEnforcedDefaults,
                         std::vector<MSRPBConsentDefaultEntry>(16, consentDefault));
    MSRPBConsentDelegationEntry delegation;
    MSRPBSetInt32(delegation, MSRConsentDelegationSlot::kConsentType, 2);
    MSRPBSetInt32(delegation, MSRConsentDelegationSlot::kDelegateType, 1);
    MSRPBSetMessageArray(consent, MSRConsentConfigSlot::kDelegations,
                         std::vector<MSRPBConsentDelegationEntry>(16, delegation));
    std::vector<MSRPBCorePlatformServiceEntry> services(100);
    for (size_t i = 0; i < services.size(); ++i)
        MSRPBSetString(services[i], MSRCorePlatformServiceSlot::kName, "service_" + std::to_string(i));
    MSRPBSetMessageArray(consent, MSRConsentConfigSlot::kCorePlatformServices, std::move(services));
    elements += 1 + 16 * 3 + 100;
    MSRPBSetMessage(config, MSRConfigSlot::kConsentConfig, consent);

    // 500 audiences of 100 property filters each, the first of each with an
    // in-list of the audiences' share of the list entries, and event filters
    // for what is left of the elements.
    constexpr size_t kAudiences = 500;
    const size_t listShare = MSRPBWireMost::kExpressionListEntries / kAudiences;
    elements += kAudiences + kAudiences * 100 + kAudiences * 2;
    const size_t eventFilters =
        (MSRPBWireRootOf(MSRPBMessageID::MeasurementConfig)->elements.most - elements) / kAudiences;
    std::vector<MSRPBAudience> audiences(kAudiences);
    for (size_t a = 0; a < kAudiences; ++a) {
        MSRPBSetInt32(audiences[a], MSRAudienceSlot::kAudienceID, static_cast<int32_t>(a + 1));
        std::vector<MSRPBPropertyFilter> properties(100);
        for (size_t f = 0; f < properties.size(); ++f) {
            MSRPBSetInt32(properties[f], MSRPropertyFilterSlot::kFilterID, static_cast<int32_t>(f + 1));
            MSRPBSetString(properties[f], MSRPropertyFilterSlot::kPropertyName, "p");
        }
        MSRPBStringFilter list;
        MSRPBSetInt32(list, MSRStringFilterSlot::kMatchType, 6);
        std::vector<MSRPBValue> entries;
        for (size_t e = 0; e < listShare; ++e) entries.emplace_back("entry" + std::to_string(e));
        MSRPBSetArray(list, MSRStringFilterSlot::kExpressionList, entries);
        MSRPBFilter filter;
        MSRPBSetMessage(filter, MSRFilterSlot::kStringFilter, list);
        MSRPBSetMessage(properties[0], MSRPropertyFilterSlot::kFilter, filter);
        MSRPBSetMessageArray(audiences[a], MSRAudienceSlot::kPropertyFilters, std::move(properties));
        std::vector<MSRPBEventFilter> events(eventFilters);
        for (size_t f = 0; f < events.size(); ++f) {
            MSRPBSetInt32(events[f], MSREventFilterSlot::kFilterID, static_cast<int32_t>(1000 + f));
            MSRPBSetString(events[f], MSREventFilterSlot::kEventName, "e");
        }
        MSRPBSetMessageArray(audiences[a], MSRAudienceSlot::kEventFilters, std::move(events));
    }
    MSRPBSetMessageArray(config, MSRConfigSlot::kAudiences, std::move(audiences));
    return config;
}

// 100 snapshots and 100 library answers, 1,000 experiments of ten flags
// each, their flags taking 1 MiB on the wire in all.
MSRPBExperimentResponse experimentsAnswerAtEveryBound() {
    const size_t flagBytes = MSRPBWireMost::kFlagBytesPerAnswer / MSRPBWireMost::kFlagsPerAnswer;
    std::vector<MSRPBSnapshot> snapshots(100);
    size_t flag = 0;
    for (size_t s = 0; s < snapshots.size(); ++s) {
        MSRPBSetString(snapshots[s], MSRSnapshotSlot::kSDKName,
                       s == 0 ? "rov_idarurozaro" : "lib" + std::to_string(s));
        std::vector<MSRPBExperiment> experiments(MSRPBWireMost::kExperimentsPerAnswer / snapshots.size());
        for (size_t e = 0; e < experiments.size(); ++e) {
            MSRPBSetInt32(experiments[e], MSRExperimentSlot::kExperimentID,
                          static_cast<int32_t>(s * 100 + e));
            std::vector<MSRPBFlag> flags(MSRPBWireMost::kFlagsPerAnswer /
                                         MSRPBWireMost::kExperimentsPerAnswer);
            for (MSRPBFlag& one : flags) {
                const std::string name = "flag_" + std::to_string(flag++);
                MSRPBSetString(one, MSRFlagSlot::kName, name);
                // Name, value and their tags and lengths: the flag's share of the bytes.
                MSRPBSetString(one, MSRFlagSlot::kStringValue, std::string(flagBytes - name.size() - 4, 'v'));
            }
            MSRPBSetMessageArray(experiments[e], MSRExperimentSlot::kFlags, std::move(flags));
        }
        MSRPBSetMessageArray(snapshots[s], MSRSnapshotSlot::kExperiments, std::move(experiments));
    }
    std::vector<MSRPBSdkResponse> libraries(100);
    for (size_t l = 0; l < libraries.size(); ++l)
        MSRPBSetString(libraries[l], MSRSdkResponseSlot::kSDKName, "lib" + std::to_string(l));
    MSRPBExperimentResponse answer;
    MSRPBSetMessageArray(answer, MSRExperimentResponseSlot::kSnapshots, std::move(snapshots));
    MSRPBSetMessageArray(answer, MSRExperimentResponseSlot::kSdkResponses, std::move(libraries));
    return answer;
}

// One start that fetches what the collector serves, and one after it;
// their peaks.
void runStarts(benchmark::State& state, const MSRPBMeasurementConfig* config,
               const MSRPBExperimentResponse* answer) {
    for (auto _ : state) {
        if (config) {
            const std::vector<uint8_t> body = config->protoBuffer().value_or(std::vector<uint8_t>{});
            if (MSRPBWireRefusalOf(body, MSRPBMessageID::MeasurementConfig))
                return state.SkipWithError("refused");
            state.counters["answer_KiB"] = static_cast<double>(body.size()) / 1024;
        }
        if (answer) {
            const std::vector<uint8_t> body = answer->protoBuffer().value_or(std::vector<uint8_t>{});
            if (MSRPBWireRefusalOf(body, MSRPBMessageID::ExperimentResponse))
                return state.SkipWithError("refused");
            state.counters["answer_KiB"] += static_cast<double>(body.size()) / 1024;
        }
        bench::BenchTemporaryFolder folder("answers-bounds");
        const std::filesystem::path root = folder.dataRoot();
        tools::Collector collector;
        std::string error;
        if (!collector.start(0, &error)) return state.SkipWithError(error.c_str());
        tools::MeasurementCollector measurement(collector);
        measurement.setConfig(
            kBoundsApp, config
                            ? *config
                            : tools::MeasurementCollector::makeConfig(
                                  kBoundsApp, 2, {{"measurement.upload.initial_upload_delay_time", "1000"}}));
        if (answer) measurement.setExperimentResponse(*answer);
        const std::vector<std::string> arguments{
            "--home",   root.string(), "--url", collector.baseURL(),
            "--app-id", kBoundsApp,    "--log", (root / "console.log").string(),
            "--debug"};
        int64_t peaks[2] = {0, 0};
        for (int start = 0; start < 2; ++start) {
            const int first = 100 * (start + 1);
            std::vector<std::string> run = arguments;
            run.insert(run.end(),
                       {"--first", std::to_string(first), "--count", "2", "--pace-us", "15000000"});
            tools::DriverProcess driver(driverPath(), run);
            const bool arrived = measurement.waitUntil(
                [first](const std::vector<tools::CollectedUpload>& uploads) {
                    size_t found = 0;
                    for (const auto& upload : uploads)
                        for (const auto& bundle : upload.bundles)
                            for (const auto& event : bundle.events) {
                                const auto n = event.intParam("n");
                                found += event.name == "e2e_event" && n && *n >= first && *n < first + 2;
                            }
                    return found >= 2;
                },
                120);
            peaks[start] = peakOf(driver.pid());
            const int status = driver.exitAndWait(30);
            if (!arrived || status != 0) {
                std::fprintf(stderr, "%s\n", tools::consoleTail(root).c_str());
                collector.stop();
                return state.SkipWithError("the driver's events did not arrive");
            }
        }
        collector.stop();
        // An answer refused, or not read at all, measures nothing.
        std::ifstream console(root / "console.log");
        for (std::string line; std::getline(console, line);) {
            for (const char* refusal :
                 {"I-MSR0233", "I-MSR023298", "I-MSR023299", "I-MSR023135", "I-MSR006045", "I-MSR82003",
                  "I-MSR820028", "I-MSR023137", "I-MSR023138"})
                if (line.find(refusal) != std::string::npos) std::fprintf(stderr, "%s\n", line.c_str());
        }
        state.counters["fetching_MiB"] = static_cast<double>(peaks[0]) / (1 << 20);
        state.counters["next_start_MiB"] = static_cast<double>(peaks[1]) / (1 << 20);
    }
}

void BM_Usual(benchmark::State& state) {
    runStarts(state, nullptr, nullptr);
}
void BM_ConfigurationAtEveryBound(benchmark::State& state) {
    const MSRPBMeasurementConfig config = configurationAtEveryBound();
    runStarts(state, &config, nullptr);
}
void BM_ExperimentsAnswerAtEveryBound(benchmark::State& state) {
    const MSRPBExperimentResponse answer = experimentsAnswerAtEveryBound();
    runStarts(state, nullptr, &answer);
}
// Both at once: a start fetches the two and holds them together.
void BM_BothAtEveryBound(benchmark::State& state) {
    const MSRPBMeasurementConfig config = configurationAtEveryBound();
    const MSRPBExperimentResponse answer = experimentsAnswerAtEveryBound();
    runStarts(state, &config, &answer);
}

}  // namespace

BENCHMARK(BM_Usual)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_ConfigurationAtEveryBound)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_ExperimentsAnswerAtEveryBound)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_BothAtEveryBound)->Iterations(1)->Unit(benchmark::kSecond);
