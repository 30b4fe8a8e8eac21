// A program served with the collector's configuration edits the events of
// the road: the driver's first run fetches and stores the configuration, its
// second run logs events that the program renames, changes, extends, strips
// of a parameter or sends to a blocklisted name, and one event on which the
// program runs out of budget, which arrives as it was logged.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "tests/e2e/DriverHarness.h"
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

class EventEditingRoadTest : public DriverTest {
  protected:
    EventEditingRoadTest() : DriverTest("editing") {}

    void SetUp() override {
        DriverTest::SetUp();
        MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(
            kDriverApp, 2, {{"measurement.upload.initial_upload_delay_time", "1000"}});
        std::string error;
        std::optional<MSRPBProgram> program =
            ProgramAssembler::assembleEditingProgram(kEditingProgram, "rules", &error);
        ASSERT_TRUE(program) << error;
        MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{*program});
        MSRPBEventConfig blocked;
        MSRPBSetString(blocked, MSREventConfigSlot::kName, "e2e_dropped");
        MSRPBSetBool(blocked, MSREventConfigSlot::kBlocklisted, true);
        MSRPBSetMessageArray(config, MSRConfigSlot::kEventConfigs, std::vector<MSRPBEventConfig>{blocked});
        measurement.setConfig(kDriverApp, config);
    }
};

TEST_F(EventEditingRoadTest, ServedProgramEditsLoggedEvents) {
    {
        // The first run only brings the configuration home: its fetch comes
        // 10 s after the start, its second event (uploaded at once in debug
        // mode) after that.
        DriverProcess driver(CALVARO_EVENT_DRIVER,
                             driverArguments({"--debug", "--first", "100", "--count", "2", "--pace-us", "15000000"}));
        ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60))
            << consoleTail();
        auto bothArrived = [](const std::vector<tools::CollectedUpload>& uploads) {
            size_t count = 0;
            for (const auto& upload : uploads)
                for (const auto& bundle : upload.bundles) count += bundle.events.size();
            return count >= 2;
        };
        ASSERT_TRUE(measurement.waitUntil(bothArrived, 90)) << consoleTail();
        ASSERT_EQ(driver.exitAndWait(30), 0) << consoleTail();
    }
    const size_t firstRun = measurement.acceptedEventCount();

    DriverProcess driver(CALVARO_EVENT_DRIVER, driverArguments({"--debug", "--first", "1", "--count", "4", "--marker", "9"}));
    ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60))
        << consoleTail();
    // Called under the collector's lock: counts from what it is handed.
    auto arrived = [&](const std::vector<tools::CollectedUpload>& uploads) {
        size_t count = 0;
        for (const auto& upload : uploads) {
            if (!upload.accepted()) continue;
            for (const auto& bundle : upload.bundles) count += bundle.events.size();
        }
        return count >= firstRun + 4;
    };
    ASSERT_TRUE(measurement.waitUntil(arrived, 90)) << consoleTail();
    ASSERT_EQ(driver.exitAndWait(30), 0) << consoleTail();

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

}  // namespace
