// A program served with the collector's configuration edits the events of
// the road: the driver's first run fetches and stores the configuration, its
// second run logs events that the program renames, changes, extends, strips
// of a parameter or sends to a blocklisted name, and one event on which the
// program runs out of budget, which arrives as it was logged. A hostile
// program's attacks on time and memory are each stopped, and the process
// stays small and quick while its events arrive.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "tests/e2e/ServedProgramTest.h"
#include "tests/support/TestPaths.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

using tools::DriverProcess;

constexpr const char* kEditingProgram = R"(
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e")
      (let "n") (assign "n" (call $e "getParamValue" (array "n")))
      (if (eq (call $e "getEventName" (array)) "e2e_marker")
          (list (call $e "setEventName" (array "e2e_dropped")) (return 0)))
      (if (ne (call $e "getEventName" (array)) "e2e_event") (list (return 0)))
      (if (eq $n 3) (list (loop true 0 false (list))))
      (call $e "setEventName" (array "edited_event"))
      (call $e "setParamValue" (array "added" "yes"))
      (if (eq $n 2)
          (list (call $e "setParamValue" (array "n" (null))))
          (list (call $e "setParamValue" (array "n" (mul $n 10)))))
      (return 0))
    (object "type" "edit")))
)";

class EventEditingRoadTest : public ServedProgramTest {
  protected:
    EventEditingRoadTest() : ServedProgramTest("editing", kEditingProgram) {}
};

TEST_F(EventEditingRoadTest, ServedProgramEditsLoggedEvents) {
    ASSERT_NO_FATAL_FAILURE(bringTheConfigurationHome());
    const size_t firstRun = measurement.acceptedEventCount();

    // Event 3 runs until its budget stops it, which on a slow machine takes
    // the batch's time (1 s in the application) and would leave event 4
    // unedited: the batch's time here is far beyond what a run may take.
    DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "1", "--count", "4", "--marker", "9",
                                                               "--editing-seconds-per-batch", "600"}));
    ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60))
        << consoleTail();
    // Called under the collector's lock: counts from what it is handed.
    auto arrived = [&](const std::vector<tools::CollectedUpload>& uploads) {
        return acceptedCount(uploads, [](const auto&) { return true; }) >= firstRun + 4;
    };
    ASSERT_TRUE(measurement.waitUntil(arrived, 90)) << consoleTail();
    ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();

    std::map<std::string, std::vector<tools::CollectedEvent>> byName;
    std::vector<tools::CollectedEvent> events = measurement.acceptedEvents();
    for (size_t i = firstRun; i < events.size(); ++i) byName[events[i].name].push_back(events[i]);
    // 1 and 4 renamed, changed and extended; 2 stripped of "n".
    ASSERT_EQ(byName["edited_event"].size(), 3u) << consoleTail();
    std::vector<std::optional<int64_t>> numbers;
    for (const auto& event : byName["edited_event"]) {
        const tools::CollectedParam* added = event.param("added");
        ASSERT_TRUE(added && added->stringValue);
        EXPECT_EQ(*added->stringValue, "yes");
        numbers.push_back(event.intParam("n"));
    }
    EXPECT_EQ(numbers, (std::vector<std::optional<int64_t>>{10, std::nullopt, 40}));
    // 3 exhausted the budget and arrived as logged; the marker was dropped.
    ASSERT_EQ(byName["e2e_event"].size(), 1u);
    EXPECT_EQ(byName["e2e_event"][0].intParam("n"), 3);
    EXPECT_EQ(byName["e2e_event"][0].param("added"), nullptr);
    EXPECT_EQ(byName.count("e2e_marker"), 0u);
    EXPECT_EQ(byName.count("e2e_dropped"), 0u);
    EXPECT_NE(tools::consoleTail(root.path(), 400).find("23223"), std::string::npos) << consoleTail();

    // protoc reads the edited events off the wire with our proto files.
    std::string decoded;
    for (const auto& upload : measurement.uploads()) {
        const auto file = root.path() / "edited.bin";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(upload.body.data()), static_cast<std::streamsize>(upload.body.size()));
        FILE* pipe = popen(("protoc --proto_path=" + CALVARO_PROTO_DIR +
                            " --decode=msr.MeasurementBatch measurement.proto < " + file.string() + " 2>&1")
                               .c_str(),
                           "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[4096];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) decoded.append(buffer, got);
        EXPECT_EQ(pclose(pipe), 0) << decoded;
    }
    EXPECT_NE(decoded.find("name: \"edited_event\""), std::string::npos) << decoded.substr(0, 2000);
    EXPECT_NE(decoded.find("string_value: \"yes\""), std::string::npos) << decoded.substr(0, 2000);
}

// A hostile program served with the configuration: the events it is handed
// carry the number of an attack in "n" (1 keeps text per turn until memory
// runs out, 2 concatenates and splits far beyond memory, 3 scans long texts
// without end, 4 compiles a new pattern each turn, 5 logs long texts without
// end, 6 creates events without end, some of them refused by name, whose
// errors would feed the program again). The program loads a text of 16 MiB.
constexpr const char* kHostileProgram = R"(
(let "big" "kept" "k") (assign "kept" (array)) (assign "big" "x") (assign "k" 0)
(loop (lt $k 24) (assign "k" (add $k 1)) false (list (assign "big" (add $big $big))))
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e")
      (let "n" "i") (assign "n" (call $e "getParamValue" (array "n"))) (assign "i" 0)
      (if (eq $n 1) (list (loop true (assign "i" (add $i 1)) false
          (list (call $kept "push" (array (add $big $i)))))))
      (if (eq $n 2) (list (call (call $big "concat" (array $big $big $big $big $big $big $big $big)) "split" (array ""))))
      (if (eq $n 3) (list (loop true (assign "i" (add $i 1)) false
          (list (call $big "indexOf" (array "y")) (call $big "charAt" (array 5)) (call $big "trim" (array))))))
      (if (eq $n 4) (list (loop true (assign "i" (add $i 1)) false
          (list (call "abc" "search" (array (add "(x{1,90}){1,9}" $i)))))))
      (if (eq $n 5) (list (loop true (assign "i" (add $i 1)) false
          (list (call (require "internal.logger") "log" (array $big))))))
      (return 0))
    (object "type" "edit"))
  (register 0 (lambda "create" (array "e")
      (let "log" "i") (assign "log" (require "internal.eventLogger")) (assign "i" 0)
      (if (or (eq (call $e "getParamValue" (array "n")) 6) (eq (call $e "getEventName" (array)) "_err"))
          (list (loop (lt $i 20000) (assign "i" (add $i 1)) false
              (list (log "e2e_dropped" 1 (object "v" 1)) (log "made" 1 (object "v" $big))))))
      (return 0))
    (object "type" "create")))
)";

class HostileProgramRoadTest : public ServedProgramTest {
  protected:
    HostileProgramRoadTest() : ServedProgramTest("hostile", kHostileProgram) {}
};

TEST_F(HostileProgramRoadTest, EveryAttackIsStoppedAndTheEventsStillArrive) {
    ASSERT_NO_FATAL_FAILURE(bringTheConfigurationHome());
    const size_t firstRun = measurement.acceptedEventCount();
    // The first run loads the program under the application's time guard;
    // what follows is this run's.
    const auto consoleLog = root.path() / "console.log";
    const auto firstRunConsole = static_cast<size_t>(std::filesystem::file_size(consoleLog));

    // Each attack must run until the bound it meets stops it (the budget,
    // the memory ceiling, the created events' count), however slow the
    // machine: the batch's time (1 s in the application) would be spent by
    // the first attacks and leave the later events unedited, and a run's time
    // guard (1 s) would stop a slow run before its bound. The test sets both
    // far beyond what the bounds allow a run.
    const auto started = std::chrono::steady_clock::now();
    DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "1", "--count", "6", "--marker",
                                                               "9", "--editing-seconds-per-batch", "600",
                                                               "--program-time-limit", "60"}));
    // The waits count the driver's own time: they only catch a hang.
    ASSERT_TRUE(waitOnDriver(driver, 300, [&] { return driver.markersHandled() >= 1; })) << consoleTail();
    // Each attack ends within its bounds, as counted below (what stopped
    // each run, and no run stopped by its time guard): the six events cost
    // seconds of the process's CPU time (about 3 s under the sanitizers),
    // not the minutes or hours they would without them.
    const std::chrono::duration<double> attacksTook = std::chrono::steady_clock::now() - started;
    const std::chrono::duration<double> attacksCost = cpuTimeOf(driver.pid());
    std::printf("the six attacks took %.2f s, %.2f s of CPU\n", attacksTook.count(), attacksCost.count());
    ASSERT_TRUE(waitOnDriver(driver, 90, [&] {
        return acceptedCount(measurement.uploads(), [](const auto& event) { return event.name == "e2e_marker"; }) >= 1;
    })) << consoleTail();
    const int64_t peak = peakResidentBytes(driver.pid());
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kPeakLimit);
    ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();

    std::map<std::string, std::vector<tools::CollectedEvent>> byName;
    std::vector<tools::CollectedEvent> events = measurement.acceptedEvents();
    for (size_t i = firstRun; i < events.size(); ++i) byName[events[i].name].push_back(events[i]);
    // Every attacked event arrives as it was logged.
    std::vector<std::optional<int64_t>> numbers;
    for (const auto& event : byName["e2e_event"]) numbers.push_back(event.intParam("n"));
    EXPECT_EQ(numbers, (std::vector<std::optional<int64_t>>{1, 2, 3, 4, 5, 6})) << consoleTail();
    // The created events: too large ones refused, blocked names stored as
    // errors, which never came back to the program to create more.
    EXPECT_EQ(byName.count("made"), 0u);
    EXPECT_EQ(byName.count("e2e_dropped"), 0u);
    // At most one error per event the program may create for one event (20).
    EXPECT_LE(byName["_err"].size(), 20u);

    // What stopped each run, for a failure's message.
    std::ostringstream whole;
    whole << std::ifstream(consoleLog).rdbuf();
    const std::string console = whole.str().substr(std::min(firstRunConsole, whole.str().size()));
    std::string stops;
    for (size_t at = console.find("I-MSR0232"); at != std::string::npos;
         at = console.find("I-MSR0232", at + 1))
        stops += console.substr(at, std::min<size_t>(300, console.find('\n', at) - at)) + "\n";
    for (const char* expected : {"23223", "23297", "memory ceiling", "instruction budget"})
        EXPECT_NE(console.find(expected), std::string::npos) << expected << "\n" << stops << consoleTail();
    // No attack outran what it was charged: none needed the time guard.
    EXPECT_EQ(console.find("time limit"), std::string::npos) << stops;
    EXPECT_GE(byName["_err"].size(), 1u) << stops;
}

}  // namespace
