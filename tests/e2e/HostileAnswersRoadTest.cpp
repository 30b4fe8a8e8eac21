// Answers a hostile server may send that keep within every size bound and
// read as well-formed messages, yet hold millions of repeated entries in
// fields no bound once named: a configuration of 2,000,000 empty consent
// defaults, data controls, programs or audiences, and an experiments answer
// of 4,000,000 empty snapshots or of 440,000 snapshots named after the
// engine's own client. With each the application fetches the answer and
// ends its run in order, starts again and again, stores every event of a
// burst that a signal ends and uploads it later, and stays small at every
// start: the fetching one and the ones after it.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/messages/NANOVarint.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/HostileRoad.h"
#include "tools/assembler/ProgramAssembler.h"

namespace hostile_answers {

using namespace hostile_road;

// ---- answers written on the wire -----------------------------------------------------------
// Millions of entries are written as bytes: built as messages in the test
// they would take the gigabytes the application must not.

void appendVarint(std::string& out, uint64_t value) {
    uint8_t bytes[10];
    out.append(reinterpret_cast<const char*>(bytes), NANOPutVarint(bytes, value) - bytes);
}

// The key of the length-delimited field at `slot` of `type`.
void appendKey(std::string& out, const MSRPBMessageType& type, uint32_t slot) {
    appendVarint(out, (uint64_t{type.fields[slot].tag} << 3) | 2);
}

// `count` occurrences of the field at `slot` of `type`, each holding `body`.
std::string repeated(const MSRPBMessageType& type, uint32_t slot, const std::string& body, size_t count) {
    std::string one;
    appendKey(one, type, slot);
    appendVarint(one, body.size());
    one += body;
    std::string all;
    all.reserve(one.size() * count);
    for (size_t i = 0; i < count; ++i) all += one;
    return all;
}

constexpr size_t kEmptyEntries = 2000000;

// The driver's usual configuration (an upload a second after a start), with
// `more` after its fields: fields repeated on the wire add up, as the
// occurrences of one message field merge.
std::string configurationWith(const std::string& more) {
    const auto usual = tools::MeasurementCollector::makeConfig(
                           kDriverApp, 2, {{"measurement.upload.initial_upload_delay_time", "1000"}})
                           .protoBuffer()
                           .value_or(std::vector<uint8_t>{});
    return std::string(usual.begin(), usual.end()) + more;
}

std::string emptyEntriesOfConfiguration(uint32_t slot) {
    return configurationWith(repeated(MSRPBMeasurementConfig::type(), slot, "", kEmptyEntries));
}

std::string emptyConsentDefaults() {
    const std::string defaults =
        repeated(MSRPBConsentConfig::type(), MSRConsentConfigSlot::kDefaults, "", kEmptyEntries);
    return configurationWith(
        repeated(MSRPBMeasurementConfig::type(), MSRConfigSlot::kConsentConfig, defaults, 1));
}

std::vector<uint8_t> snapshots(const std::string& snapshot, size_t count) {
    const std::string all =
        repeated(MSRPBExperimentResponse::type(), MSRExperimentResponseSlot::kSnapshots, snapshot, count);
    return {all.begin(), all.end()};
}

std::string snapshotNamed(const std::string& name) {
    std::string snapshot;
    appendKey(snapshot, MSRPBSnapshot::type(), MSRSnapshotSlot::kSDKName);
    appendVarint(snapshot, name.size());
    return snapshot + name;
}

struct HostileAnswer {
    const char* name;
    // Has the collector serve the answer; made only by the row that runs it.
    void (*serve)(tools::MeasurementCollector& measurement);
    // The code it is refused with on arrival.
    const char* refusal;
};

void PrintTo(const HostileAnswer& answer, std::ostream* out) {
    *out << answer.name;
}

// Each within the 4 MiB a configuration, or the 8 MiB an inflated
// experiments answer, may take.
std::vector<HostileAnswer> hostileAnswers() {
    return {
        {"EmptyConsentDefaults",
         [](tools::MeasurementCollector& m) { m.setConfigBytes(kDriverApp, emptyConsentDefaults()); },
         "I-MSR023309"},
        {"EmptyDataControls",
         [](tools::MeasurementCollector& m) {
             m.setConfigBytes(kDriverApp, emptyEntriesOfConfiguration(MSRConfigSlot::kDataControls));
         },
         "I-MSR023307"},
        {"EmptyPrograms",
         [](tools::MeasurementCollector& m) {
             m.setConfigBytes(kDriverApp, emptyEntriesOfConfiguration(MSRConfigSlot::kPrograms));
         },
         "I-MSR023305"},
        {"EmptyAudiences",
         [](tools::MeasurementCollector& m) {
             m.setConfigBytes(kDriverApp, emptyEntriesOfConfiguration(MSRConfigSlot::kAudiences));
         },
         "I-MSR023301"},
        {"EmptySnapshots",
         [](tools::MeasurementCollector& m) { m.setExperimentResponseBytes(snapshots("", 4000000)); },
         "I-MSR820034"},
        {"SnapshotsNamedAfterTheClient",
         [](tools::MeasurementCollector& m) {
             m.setExperimentResponseBytes(snapshots(snapshotNamed("rov_idarurozaro"), 440000));
         },
         "I-MSR820034"},
    };
}

class HostileAnswersRoadTest : public HostileRoadTest, public testing::WithParamInterface<HostileAnswer> {
  protected:
    HostileAnswersRoadTest() : HostileRoadTest("hostileanswers") {}
};

TEST_P(HostileAnswersRoadTest, EveryEventIsStoredAndUploadedAndEveryStartStaysSmall) {
    GetParam().serve(measurement);
    // The run that fetches the answer: its end, asked for once its events are
    // uploaded, comes within the driver's deadline and with exit 0.
    const int64_t fetching = fetchTheConfiguration();
    ASSERT_FALSE(HasFailure());
    // Refused on arrival with its own code, before any of it was built.
    EXPECT_NE(tools::consoleTail(root.path(), 4000).find(GetParam().refusal), std::string::npos) << tail();
    const int64_t started = startAndEnd();
    const int64_t startedAgain = startAndEnd();
    const int64_t burst = burstEndedBySignal();
    std::printf("%s: peaks %lld MiB fetching, %lld and %lld MiB starting, %lld MiB in the burst\n",
                GetParam().name, static_cast<long long>(fetching >> 20),
                static_cast<long long>(started >> 20), static_cast<long long>(startedAgain >> 20),
                static_cast<long long>(burst >> 20));
    expectSmall({fetching, started, startedAgain, burst});
}

INSTANTIATE_TEST_SUITE_P(Served, HostileAnswersRoadTest, testing::ValuesIn(hostileAnswers()),
                         [](const testing::TestParamInfo<HostileAnswer>& info) {
                             return std::string(info.param.name);
                         });

// ---- a configuration at every bound ---------------------------------------------------------

// A consent entry of two enumerations (a type, and a status or a type).
template <typename Entry>
Entry consentEntry(int32_t first, int32_t second) {
    Entry entry;
    MSRPBSetInt32(entry, MSRConsentDefaultSlot::kConsentType, first);
    MSRPBSetInt32(entry, MSRConsentDefaultSlot::kStatus, second);
    return entry;
}

// An editing program whose top-level function "f" holds as many literals as
// make its entities `entities`.
MSRPBProgram programOfEntities(size_t entities) {
    MSRPBMeasurementConfig config;
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{programOfLiterals(1)});
    const auto counted =
        MSRPBTallyEncodedNestedMessages(*config.protoBuffer(), MSRPBMeasurementConfig::type(),
                                        {MSRConfigSlot::kPrograms}, MSRPBMessageID::RuntimeEntity);
    return programOfLiterals(1 + entities - counted->total);
}

// What one configuration may hold of every list at once: 10,000 settings and
// event configurations, a program of 100,000 entities, 500 audiences of
// which one has a list of 65,536 entries, 100 data controls and core
// platform services, 16 consent defaults, delegations and regional defaults.
MSRPBMeasurementConfig configurationAtTheBounds() {
    MSRPBMeasurementConfig config =
        tools::MeasurementCollector::makeConfig(kDriverApp, 3,
                                                {{"measurement.upload.initial_upload_delay_time", "1000"},
                                                 {"measurement.audience.max_count", "500"}});
    std::vector<MSRPBSetting> settings = MSRPBGetMessageArray<MSRPBSetting>(config, MSRConfigSlot::kSettings);
    std::vector<MSRPBEventConfig> events(10000);
    for (int i = 0; settings.size() < 10000; ++i) {
        MSRPBSetting setting;
        MSRPBSetString(setting, MSRSettingSlot::kName, "measurement.unused_" + std::to_string(i));
        MSRPBSetString(setting, MSRSettingSlot::kValue, "1");
        settings.push_back(std::move(setting));
    }
    for (size_t i = 0; i < events.size(); ++i) {
        MSRPBSetString(events[i], MSREventConfigSlot::kName, "event_" + std::to_string(i));
        MSRPBSetInt32(events[i], MSREventConfigSlot::kSamplingRate, 1);
    }
    std::vector<MSRPBAudience> audiences;
    for (int32_t id = 1; id <= 500; ++id) audiences.push_back(inListAudience(id, id == 1 ? 65536 : 0));
    std::vector<MSRPBDataControl> controls(100);
    MSRPBConsentConfig consent;
    std::vector<MSRPBCorePlatformServiceEntry> services(100);
    for (size_t i = 0; i < 100; ++i) {
        MSRPBSetString(controls[i], MSRDataControlSlot::kName, "control_" + std::to_string(i));
        MSRPBSetString(services[i], MSRCorePlatformServiceSlot::kName, "service_" + std::to_string(i));
    }
    std::vector<MSRPBConsentDefaultEntry> defaults, regional;
    std::vector<MSRPBConsentDelegationEntry> delegations;
    for (int32_t i = 0; i < 16; ++i) {
        defaults.push_back(consentEntry<MSRPBConsentDefaultEntry>(1 + i % 4, 1 + i % 2));
        regional.push_back(consentEntry<MSRPBConsentDefaultEntry>(1 + i % 4, 1 + i % 2));
        delegations.push_back(consentEntry<MSRPBConsentDelegationEntry>(1 + i % 4, 1 + (i + 1) % 4));
    }
    MSRPBSetMessageArray(consent, MSRConsentConfigSlot::kDefaults, std::move(defaults));
    MSRPBSetMessageArray(consent, MSRConsentConfigSlot::kDelegations, std::move(delegations));
    MSRPBSetMessageArray(consent, MSRConsentConfigSlot::kCorePlatformServices, std::move(services));
    MSRPBSetMessageArray(consent, MSRConsentConfigSlot::kEnforcedDefaults, std::move(regional));
    MSRPBSetMessageArray(config, MSRConfigSlot::kSettings, std::move(settings));
    MSRPBSetMessageArray(config, MSRConfigSlot::kEventConfigs, std::move(events));
    MSRPBSetMessageArray(config, MSRConfigSlot::kAudiences, std::move(audiences));
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms,
                         std::vector<MSRPBProgram>{programOfEntities(100000)});
    MSRPBSetMessageArray(config, MSRConfigSlot::kDataControls, std::move(controls));
    MSRPBSetMessage(config, MSRConfigSlot::kConsentConfig, consent);
    return config;
}

class ConfigurationAtTheBoundsRoadTest : public HostileRoadTest {
  protected:
    ConfigurationAtTheBoundsRoadTest() : HostileRoadTest("configatbounds") {}
};

// Taken whole (the program runs at every event), and small while it is
// fetched and at every start after: the figures go to the README.
TEST_F(ConfigurationAtTheBoundsRoadTest, IsTakenAndEveryStartStaysSmall) {
    const int64_t usual = usualStart("configatboundsusual");
    const MSRPBMeasurementConfig config = configurationAtTheBounds();
    const size_t bytes = config.protoBuffer().value_or(std::vector<uint8_t>{}).size();
    ASSERT_LE(bytes, size_t{4} << 20);
    measurement.setConfig(kDriverApp, config);
    const int64_t fetching = fetchTheConfiguration();
    ASSERT_FALSE(HasFailure());
    {
        // Taken: no refusal of the fetcher's or of the audiences', and the
        // program loaded.
        const std::string console = tools::consoleTail(root.path(), 4000);
        EXPECT_NE(console.find("I-MSR029027"), std::string::npos) << tail();
        for (const char* refusal : {"I-MSR023135", "I-MSR023138", "I-MSR023137", "I-MSR029026"})
            EXPECT_EQ(console.find(refusal), std::string::npos) << refusal << tail();
    }
    const int64_t started = startAndEnd();
    const int64_t startedAgain = startAndEnd();
    const int64_t burst = burstEndedBySignal();
    std::printf(
        "a configuration of %zu bytes at every bound: peaks %lld MiB fetching, %lld and %lld MiB starting, "
        "%lld MiB in the burst (%lld MiB without it)\n",
        bytes, static_cast<long long>(fetching >> 20), static_cast<long long>(started >> 20),
        static_cast<long long>(startedAgain >> 20), static_cast<long long>(burst >> 20),
        static_cast<long long>(usual >> 20));
    expectSmall({fetching, started, startedAgain, burst});
}

}  // namespace hostile_answers
