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
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/HostileRoad.h"

namespace hostile_answers {

using namespace hostile_road;

// ---- answers written on the wire -----------------------------------------------------------
// Millions of entries are written as bytes: built as messages in the test
// they would take the gigabytes the application must not.

void appendVarint(std::string& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
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
    return configurationWith(repeated(MSRPBMeasurementConfig::type(), MSRConfigSlot::kConsentConfig, defaults, 1));
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
};

void PrintTo(const HostileAnswer& answer, std::ostream* out) { *out << answer.name; }

// Each within the 4 MiB a configuration, or the 8 MiB an inflated
// experiments answer, may take.
std::vector<HostileAnswer> hostileAnswers() {
    return {
        {"EmptyConsentDefaults", [](tools::MeasurementCollector& m) { m.setConfigBytes(kDriverApp, emptyConsentDefaults()); }},
        {"EmptyDataControls",
         [](tools::MeasurementCollector& m) { m.setConfigBytes(kDriverApp, emptyEntriesOfConfiguration(MSRConfigSlot::kDataControls)); }},
        {"EmptyPrograms",
         [](tools::MeasurementCollector& m) { m.setConfigBytes(kDriverApp, emptyEntriesOfConfiguration(MSRConfigSlot::kPrograms)); }},
        {"EmptyAudiences",
         [](tools::MeasurementCollector& m) { m.setConfigBytes(kDriverApp, emptyEntriesOfConfiguration(MSRConfigSlot::kAudiences)); }},
        {"EmptySnapshots", [](tools::MeasurementCollector& m) { m.setExperimentResponseBytes(snapshots("", 4000000)); }},
        {"SnapshotsNamedAfterTheClient",
         [](tools::MeasurementCollector& m) { m.setExperimentResponseBytes(snapshots(snapshotNamed("rov_idarurozaro"), 440000)); }},
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
    const int64_t started = startAndEnd();
    const int64_t startedAgain = startAndEnd();
    const int64_t burst = burstEndedBySignal();
    std::printf("%s: peaks %lld MiB fetching, %lld and %lld MiB starting, %lld MiB in the burst\n", GetParam().name,
                static_cast<long long>(fetching >> 20), static_cast<long long>(started >> 20),
                static_cast<long long>(startedAgain >> 20), static_cast<long long>(burst >> 20));
    expectSmall({fetching, started, startedAgain, burst});
}

INSTANTIATE_TEST_SUITE_P(Served, HostileAnswersRoadTest, testing::ValuesIn(hostileAnswers()),
                         [](const testing::TestParamInfo<HostileAnswer>& info) { return std::string(info.param.name); });

}  // namespace hostile_answers
