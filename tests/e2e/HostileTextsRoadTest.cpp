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
#include "tests/support/TestPaths.h"
#include "tools/assembler/ProgramAssembler.h"

namespace hostile_texts {

using tools::DriverProcess;
using Steady = std::chrono::steady_clock;

constexpr int64_t kSignalledBurst = 200;
constexpr int64_t kBurstFirst = 1000;
// Waits for what any machine does in seconds: far past it, never reached.
constexpr double kGenerousSeconds = 120;

double secondsOf(Steady::duration duration) { return std::chrono::duration<double>(duration).count(); }

// The end of the driver's console with each line cut to 1 KiB: a line that
// carries a program's text whole must not flood the test's output.
std::string cutConsoleTail(const std::filesystem::path& root) {
    std::ifstream in(root / "console.log");
    std::vector<std::string> tail;
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 1024) line = line.substr(0, 1024) + "... (" + std::to_string(line.size()) + " bytes)";
        tail.push_back(std::move(line));
        if (tail.size() > 40) tail.erase(tail.begin());
    }
    std::string text = "\n--- last lines of the engine's console ---\n";
    for (const auto& line : tail) text += line + "\n";
    return text;
}

// The road every hostile configuration is met on, over a collector serving
// it: a start, a burst ended by a signal, and the run that uploads the burst.
class HostileRoadTest : public DriverTest {
  protected:
    using DriverTest::DriverTest;

    void TearDown() override {
        collector.stop();
        if (HasFailure()) std::printf("%s", tail().c_str());
    }
    std::string tail() const { return cutConsoleTail(root.path()); }

    // SIGTERM to a running driver: it ends as the application does, in
    // order, within its deadline, measured to its report of that end.
    void signalAndExpectOrderlyEnd(DriverProcess& driver) {
        const SignalledEnd end = endBySignal(driver);
        EXPECT_EQ(end.status, 128 + SIGTERM) << tail();
        EXPECT_TRUE(end.reported) << tail();
        EXPECT_LT(end.took, kSignalledEndLimit) << tail();
        std::printf("  the end took %.2f s\n", secondsOf(end.took));
    }

    // A start of a few events and a marker, all handled and the marker
    // uploaded; then the signalled end. Answers the run's peak.
    int64_t startAndEnd() {
        DriverProcess driver(CALVARO_EVENT_DRIVER,
                             debugArguments({"--first", "1", "--count", "5", "--marker", "9", "--end-on-signal"}));
        EXPECT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kMarkerHandled; },
                                     kGenerousSeconds))
            << tail();
        auto arrived = [](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_marker"; }) >= 1;
        };
        EXPECT_TRUE(measurement.waitUntil(arrived, kGenerousSeconds)) << tail();
        const int64_t peak = peakResidentBytes(driver.pid());
        signalAndExpectOrderlyEnd(driver);
        return peak;
    }

    // Runs of the program on a numbered event that its bounds stopped, as
    // the console has them so far.
    size_t stoppedRuns() const {
        std::ifstream in(root.path() / "console.log");
        size_t stopped = 0;
        for (std::string line; std::getline(in, line);)
            stopped += line.find("Event editing failed. Event name: e2e_event") != std::string::npos;
        return stopped;
    }

    // A burst over four threads, not in debug mode, ended by SIGTERM once
    // every call is made and the engine is at work on the burst (its start,
    // which a slow machine may still be busy with once the calls return, is
    // not the end's to wait for): the whole burst is stored before the end,
    // and the next run uploads each of its events once. At work means a
    // first batch stored, or a first run stopped by its bounds: a batch of
    // 64 runs, each stopped only by its own bounds, takes a minute under
    // the sanitizer, and no longer than that one run to show in the console.
    // `more` adds to the driver's arguments. Answers the burst's peak.
    int64_t burstEndedBySignal(std::vector<std::string> more = {}) {
        int64_t peak = 0;
        {
            more.insert(more.begin(), {"--first", std::to_string(kBurstFirst), "--count",
                                       std::to_string(kSignalledBurst), "--threads", "4", "--end-on-signal"});
            const size_t stoppedBefore = stoppedRuns();
            DriverProcess driver(CALVARO_EVENT_DRIVER, driverArguments(more));
            const auto atWork = [&] {
                return driver.allLogged() && (driver.handledCount() >= 1 || stoppedRuns() > stoppedBefore);
            };
            const Steady::time_point began = Steady::now();
            const Steady::time_point giveUp = began + std::chrono::seconds(static_cast<int>(kGenerousSeconds));
            while (!atWork() && Steady::now() < giveUp && !driver.ended()) driver.readUntil(nullptr, 0.1);
            EXPECT_TRUE(atWork()) << tail();
            std::printf("  at work on the burst after %.1f s\n", secondsOf(Steady::now() - began));
            peak = peakResidentBytes(driver.pid());
            signalAndExpectOrderlyEnd(driver);
            EXPECT_EQ(driver.handledCount(), kSignalledBurst) << tail();
        }
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "5000"}));
        auto inBurst = [](const tools::CollectedEvent& event) {
            const auto n = event.intParam("n");
            return event.name != "e2e_marker" && n && *n >= kBurstFirst && *n < kBurstFirst + kSignalledBurst;
        };
        auto arrived = [&](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_marker"; }) >= 1 &&
                   acceptedCount(uploads, inBurst) >= static_cast<size_t>(kSignalledBurst);
        };
        EXPECT_TRUE(measurement.waitUntil(arrived, kGenerousSeconds)) << tail();
        EXPECT_EQ(driver.exitAndWait(30), 0) << tail();
        std::multiset<int64_t> burst, expected;
        for (const auto& event : measurement.acceptedEvents())
            if (inBurst(event)) burst.insert(*event.intParam("n"));
        for (int64_t n = kBurstFirst; n < kBurstFirst + kSignalledBurst; ++n) expected.insert(n);
        EXPECT_EQ(burst, expected);
        return peak;
    }

    static void expectSmall(std::initializer_list<int64_t> peaks) {
        for (const int64_t peak : peaks) {
            EXPECT_GT(peak, 0);
            EXPECT_LT(peak, kPeakLimit) << (peak >> 20) << " MiB";
        }
    }
};

// ---- configurations of too many entries ---------------------------------------------------

// An experiments answer for the engine's own client of `experiments`
// experiments, each holding `flags` flags (the same in each: the answer is
// small once compressed).
MSRPBExperimentResponse flagsAnswer(int32_t experiments, int32_t flags) {
    std::vector<MSRPBFlag> flagList(static_cast<size_t>(flags));
    for (int32_t i = 0; i < flags; ++i) {
        MSRPBSetString(flagList[i], MSRFlagSlot::kName, "f" + std::to_string(i));
        MSRPBSetInt64(flagList[i], MSRFlagSlot::kIntValue, 1);
    }
    std::vector<MSRPBExperiment> list(static_cast<size_t>(experiments));
    for (int32_t id = 1; id <= experiments; ++id) {
        MSRPBSetInt32(list[id - 1], MSRExperimentSlot::kExperimentID, id);
        MSRPBSetMessageArray(list[id - 1], MSRExperimentSlot::kFlags, flagList);
    }
    MSRPBSnapshot snapshot;
    MSRPBSetString(snapshot, MSRSnapshotSlot::kSDKName, "rov_idarurozaro");
    MSRPBSetMessageArray(snapshot, MSRSnapshotSlot::kExperiments, std::move(list));
    MSRPBExperimentResponse response;
    MSRPBSetMessageArray(response, MSRExperimentResponseSlot::kSnapshots, std::vector<MSRPBSnapshot>{snapshot});
    return response;
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
        for (const char* code : {"I-MSR820030", "I-MSR820031", "I-MSR820032", "I-MSR023298", "I-MSR023299"})
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
        MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(
            kDriverApp, 2, {{"measurement.upload.initial_upload_delay_time", "1000"}});
        std::string error;
        std::optional<MSRPBProgram> program =
            ProgramAssembler::assembleEditingProgram(GetParam().text, "rules", &error);
        ASSERT_TRUE(program) << error;
        MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{*program});
        ASSERT_LE(config.protoBuffer().value_or(std::vector<uint8_t>{}).size(), size_t{4} << 20);
        measurement.setConfig(kDriverApp, config);
    }
};

TEST_P(HostileTextsRoadTest, EveryEventIsStoredAndUploadedAndTheProcessStaysSmall) {
    const int64_t fetching = fetchTheConfiguration();
    ASSERT_FALSE(HasFailure());
    const int64_t started = startAndEnd();
    // The program has all the time its batch may take: each event of the
    // burst runs it until one of its own bounds stops it, so that the signal
    // meets a run under way on any machine.
    const int64_t burst = burstEndedBySignal({"--editing-seconds-per-batch", "1000"});
    std::printf("%s: peaks %lld MiB fetching, %lld MiB starting, %lld MiB in the burst\n", GetParam().name,
                static_cast<long long>(fetching >> 20), static_cast<long long>(started >> 20),
                static_cast<long long>(burst >> 20));
    expectSmall({fetching, started, burst});
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
