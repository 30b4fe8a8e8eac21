// What a hostile configuration server may send that reads well and keeps
// within every size bound, met end to end by the event driver and the
// loopback collector: programs that work on a text of 16 MiB (made at load by
// doubling) where binding, copying, comparing or logging it once went
// uncharged, and configurations and experiment answers of far more entries
// than any application uses. With each, the application starts, stores every
// event of a burst that a signal ends (in order, within 2 s) and uploads it
// later, stays small, and each refused configuration logs a text of its own.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/HostileRoad.h"
#include "tests/support/TestPaths.h"
#include "tools/assembler/ProgramAssembler.h"

namespace hostile_texts {

using namespace hostile_road;

// ---- configurations of too many entries ---------------------------------------------------

// An experiments answer for the engine's own client of `experiments`
// experiments, each holding `flags` flags (the same in each: the answer is
// small once compressed).
// With `valueBytes`, each flag holds a text of so many bytes instead of a number.
MSRPBExperimentResponse flagsAnswer(int32_t experiments, int32_t flags, size_t valueBytes = 0) {
    std::vector<MSRPBFlag> flagList(static_cast<size_t>(flags));
    for (int32_t i = 0; i < flags; ++i) {
        MSRPBSetString(flagList[i], MSRFlagSlot::kName, "f" + std::to_string(i));
        if (valueBytes) {
            MSRPBSetString(flagList[i], MSRFlagSlot::kStringValue, std::string(valueBytes, static_cast<char>('a' + i % 26)));
        } else {
            MSRPBSetInt64(flagList[i], MSRFlagSlot::kIntValue, 1);
        }
    }
    std::vector<MSRPBExperiment> list(static_cast<size_t>(experiments));
    for (int32_t id = 1; id <= experiments; ++id) {
        MSRPBSetInt32(list[id - 1], MSRExperimentSlot::kExperimentID, id);
        MSRPBSetMessageArray(list[id - 1], MSRExperimentSlot::kFlags, flagList);
    }
    return tools::MeasurementCollector::snapshotResponse("rov_idarurozaro", std::move(list));
}

// The driver's configuration with `eventConfigs` event configurations and
// `settings` more settings, each named apart from the others.
MSRPBMeasurementConfig configOfEntries(int32_t eventConfigs, int32_t settings) {
    std::map<std::string, std::string> values{{"measurement.upload.initial_upload_delay_time", "1000"}};
    for (int32_t i = 0; i < settings; ++i) values.emplace("measurement.s" + std::to_string(i), "1");
    MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(kDriverApp, 2, values);
    std::vector<MSRPBEventConfig> events(static_cast<size_t>(eventConfigs));
    for (int32_t i = 0; i < eventConfigs; ++i) MSRPBSetString(events[i], MSREventConfigSlot::kName, "e" + std::to_string(i));
    MSRPBSetMessageArray(config, MSRConfigSlot::kEventConfigs, std::move(events));
    return config;
}

struct Entries {
    const char* name;
    // Has the collector serve it.
    void (*serve)(tools::MeasurementCollector&);
    const char* code;
    const char* text;
};

void PrintTo(const Entries& entries, std::ostream* out) { *out << entries.name; }

class HostileEntriesRoadTest : public HostileRoadTest, public testing::WithParamInterface<Entries> {
  protected:
    HostileEntriesRoadTest() : HostileRoadTest("hostileentries") {}
};

TEST_P(HostileEntriesRoadTest, IsRefusedWithItsOwnTextAndHoldsNothing) {
    const Entries& entries = GetParam();
    entries.serve(measurement);
    const int64_t fetching = fetchTheConfiguration();
    // The refusal's own line, and no other refusal's.
    std::ifstream in(root.path() / "console.log");
    std::vector<std::string> refusals;
    for (std::string line; std::getline(in, line);) {
        for (const char* code :
             {"I-MSR820030", "I-MSR820031", "I-MSR820032", "I-MSR820033", "I-MSR023298", "I-MSR023299"})
            if (line.find(code) != std::string::npos) refusals.push_back(line);
    }
    ASSERT_EQ(refusals.size(), 1u) << tail();
    EXPECT_NE(refusals[0].find(entries.code), std::string::npos) << refusals[0];
    EXPECT_NE(refusals[0].find(entries.text), std::string::npos) << refusals[0];

    const int64_t started = startAndEnd();
    const int64_t burst = burstEndedBySignal();
    std::printf("%s: peaks %lld MiB fetching, %lld MiB starting, %lld MiB in the burst\n", entries.name,
                static_cast<long long>(fetching >> 20), static_cast<long long>(started >> 20),
                static_cast<long long>(burst >> 20));
    expectSmall({fetching, started, burst});
    // Nothing of a refused experiments answer reaches a bundle.
    for (const auto& upload : measurement.uploads())
        for (const auto& bundle : upload.bundles) EXPECT_TRUE(bundle.experimentIDs.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Served, HostileEntriesRoadTest,
    testing::Values(
        // 720,000 flags, 75 KB compressed.
        Entries{"FlagsOfAThousandExperiments",
                [](tools::MeasurementCollector& m) { m.setExperimentResponse(flagsAnswer(1000, 720)); },
                "I-MSR820032", "Fetched answer holds too many flags"},
        // 10,000 flags of 790-byte texts: 7.9 MB inflated, within the 8 MiB
        // an answer may inflate to, yet held many times over.
        Entries{"FlagsOfTooManyBytes",
                [](tools::MeasurementCollector& m) { m.setExperimentResponse(flagsAnswer(10, 1000, 790)); },
                "I-MSR820033", "Fetched answer holds flags of too many bytes"},
        Entries{"FlagsOfOneExperiment",
                [](tools::MeasurementCollector& m) { m.setExperimentResponse(flagsAnswer(1, 5000)); }, "I-MSR820031",
                "Fetched answer holds an experiment of too many flags"},
        Entries{"EventConfigurations",
                [](tools::MeasurementCollector& m) { m.setConfig(kDriverApp, configOfEntries(290000, 0)); },
                "I-MSR023298", "Configuration contains too many event configurations"},
        Entries{"Settings",
                [](tools::MeasurementCollector& m) { m.setConfig(kDriverApp, configOfEntries(0, 150000)); },
                "I-MSR023299", "Configuration contains too many settings"}),
    [](const testing::TestParamInfo<Entries>& info) { return std::string(info.param.name); });

// Every hostile configuration above keeps within the size a configuration or
// an experiments answer may have: it is its entries that are refused.
TEST(HostileEntriesSizes, EachIsWithinTheSizeBounds) {
    const struct {
        int32_t eventConfigs, settings;
    } configs[] = {{290000, 0}, {0, 150000}};
    for (const auto& counts : configs) {
        const size_t bytes =
            configOfEntries(counts.eventConfigs, counts.settings).protoBuffer().value_or(std::vector<uint8_t>{}).size();
        EXPECT_GT(bytes, size_t{2} << 20);
        EXPECT_LE(bytes, size_t{4} << 20);
    }
    EXPECT_LE(flagsAnswer(1000, 720).protoBuffer()->size(), size_t{8} << 20);
    EXPECT_LE(flagsAnswer(10, 1000, 790).protoBuffer()->size(), size_t{8} << 20);
}

// ---- programs of long texts ----------------------------------------------------------------

// The text every program below works on: 16 MiB, made by doubling at load.
constexpr const char* kLongText = R"(
(let "s" "k") (assign "s" "x") (assign "k" 0)
(loop (lt $k 24) (assign "k" (add $k 1)) false (list (assign "s" (add $s $s))))
)";

// `body` as the one edit callback's statements (`e` the event), after `setUp`.
std::string editingProgram(const std::string& setUp, const std::string& body) {
    return std::string(kLongText) + setUp + R"(
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e") )" +
           body + R"( (return 0)) (object "type" "edit")))
)";
}

struct Program {
    const char* name;
    std::string text;
};

std::vector<Program> programs() {
    // Forty object keys of one literal, each the text.
    std::string keys;
    for (int i = 0; i < 40; ++i) keys += " $s 1";
    // Closures named and bodied by the longest texts a configuration may
    // carry, 400 of them made and kept on each event.
    const std::string longName((size_t{1} << 20) - 64, 'n');
    const std::string longBody((size_t{1} << 20) - 64, 'b');
    return {
        // The loop name bound to each of 2^17 items, the body empty.
        {"LoopNamesBoundToEachItem",
         editingProgram(R"((let "a") (assign "a" (array 0)) (assign "k" 0)
(loop (lt $k 17) (assign "k" (add $k 1)) false (list (assign "a" (call $a "concat" (array $a))))))",
                        R"((foroflet $s $a (list)) (forinconst $s $a (list)))")},
        // The event and a parameter renamed to the text by the first of the
        // most callbacks: each of the others, empty, begins with a copy of
        // the event.
        {"CallbacksCopyingTheEvent", std::string(kLongText) + R"(
(function "rules" (array "r")
  (let "register" "i") (assign "register" (require "internal.registerCallback")) (assign "i" 1)
  (register 0 (lambda "rename" (array "e")
      (call $e "setEventName" (array $s)) (call $e "setParamValue" (array $s 1)) (return 0))
    (object "type" "edit"))
  (loop (lt $i 1000) (assign "i" (add $i 1)) false
    (list (register 0 (lambda "pass" (array "e") (return 0)) (object "type" "edit")))))
)"},
        // Object keys and variable names computed as the text, each hashed,
        // compared or copied whole within one instruction.
        {"TextsAsKeysAndNames",
         editingProgram("", R"((let $s "i") (assign "i" 0)
      (loop (lt $i 4096) (assign "i" (add $i 1)) false
        (list (object)" + keys + R"() (assign $s (var $s)))))")},
        {"ClosuresOfLongNamesAndBodies",
         editingProgram("", R"((let "kept" "i") (assign "kept" (array)) (assign "i" 0)
      (loop (lt $i 400) (assign "i" (add $i 1)) false
        (list (call $kept "push" (array (lambda ")" +
                                longName + R"(" (array) ")" + longBody + R"("))))))")},
        // Every event renamed to the text, which the engine logs.
        {"EventsRenamedToTheText", editingProgram("", R"((call $e "setEventName" (array $s)))")},
    };
}

void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }

class HostileTextsRoadTest : public HostileRoadTest, public testing::WithParamInterface<Program> {
  protected:
    HostileTextsRoadTest() : HostileRoadTest("hostiletexts") {}

    void SetUp() override {
        HostileRoadTest::SetUp();
        std::string error;
        std::optional<MSRPBProgram> program =
            ProgramAssembler::assembleEditingProgram(GetParam().text, "rules", &error);
        ASSERT_TRUE(program) << error;
        serveProgram(*program);
    }
};

TEST_P(HostileTextsRoadTest, EveryEventIsStoredAndUploadedAndTheProcessStaysSmall) {
    const int64_t fetching = fetchTheConfiguration();
    ASSERT_FALSE(HasFailure());
    startBurstAndExpectSmall(GetParam().name, fetching);
    // No line carries a program's text whole: a log line cuts what it
    // quotes to about 1 KiB.
    const uintmax_t consoleBytes = std::filesystem::file_size(root.path() / "console.log");
    size_t longest = 0;
    if (consoleBytes < (uintmax_t{64} << 20)) {
        std::ifstream in(root.path() / "console.log");
        for (std::string line; std::getline(in, line);) longest = std::max(longest, line.size());
    }
    EXPECT_LT(consoleBytes, uintmax_t{16} << 20);
    EXPECT_LT(longest, size_t{8} << 10);
}

INSTANTIATE_TEST_SUITE_P(Served, HostileTextsRoadTest, testing::ValuesIn(programs()),
                         [](const testing::TestParamInfo<Program>& info) { return std::string(info.param.name); });

}  // namespace hostile_texts
