#pragma once
// A driver run whose configuration serves one event-editing program.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/support/TestPaths.h"
#include "tools/assembler/ProgramAssembler.h"

// A driver run whose configuration serves one program and blocks the events
// it renames to "e2e_dropped".
class ServedProgramTest : public DriverTest {
  protected:
    ServedProgramTest(const char* name, const char* programText) : DriverTest(name), programText_(programText) {}

    void SetUp() override {
        DriverTest::SetUp();
        MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(
            kDriverApp, 2, {{"measurement.upload.initial_upload_delay_time", "1000"}});
        std::string error;
        std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(programText_, "rules", &error);
        ASSERT_TRUE(program) << error;
        MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{*program});
        MSRPBEventConfig blocked;
        MSRPBSetString(blocked, MSREventConfigSlot::kName, "e2e_dropped");
        MSRPBSetBool(blocked, MSREventConfigSlot::kBlocklisted, true);
        MSRPBSetMessageArray(config, MSRConfigSlot::kEventConfigs, std::vector<MSRPBEventConfig>{blocked});
        measurement.setConfig(kDriverApp, config);
    }

    // The first run only brings the configuration home: its fetch comes 10 s
    // after the start, its second event (uploaded at once in debug mode)
    // after that, and already meets the program. The program's load run on
    // arrival has a minute, not the application's second: a load stopped by
    // a crowded core's clock is not stored, and the runs the test judges
    // would meet no program. Its waits count the driver's own time and only
    // catch a hang.
    void bringTheConfigurationHome() {
        tools::DriverProcess driver(CALVARO_EVENT_DRIVER,
                                    debugArguments({"--first", "100", "--count", "2", "--pace-us", "15000000",
                                                    "--program-time-limit", "60"}));
        ASSERT_TRUE(waitOnDriver(driver, 300, [&] { return driver.allLogged(); })) << consoleTail();
        auto bothArrived = [](const std::vector<tools::CollectedUpload>& uploads) {
            size_t count = 0;
            for (const auto& upload : uploads)
                for (const auto& bundle : upload.bundles) count += bundle.events.size();
            return count >= 2;
        };
        ASSERT_TRUE(waitOnDriver(driver, 300, [&] { return bothArrived(measurement.uploads()); })) << consoleTail();
        ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }

    // The numbers of the "e2e_event"s accepted from the `first`th accepted
    // event on, each as often as it arrived.
    std::multiset<int64_t> acceptedEventNumbers(size_t first) {
        std::multiset<int64_t> numbers;
        std::vector<tools::CollectedEvent> events = measurement.acceptedEvents();
        for (size_t i = first; i < events.size(); ++i) {
            if (events[i].name == "e2e_event") numbers.insert(events[i].intParam("n").value_or(0));
        }
        return numbers;
    }

  private:
    const char* programText_;
};
