// A configuration within every default limit whose audiences would make the
// matching of each event cost about a second: one cheap pattern (9,005 RE2
// instructions) in the 25 parameter filters of the 10 filters of 100
// audiences, complemented and dynamic so that every one runs for every event
// of the driver's name. It is refused when it arrives, with its code in the
// log, and the runs after it take their usual time, upload every event, stay
// small and end at once on SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/support/TestPaths.h"

namespace {

using tools::DriverProcess;
using Clock = std::chrono::steady_clock;

std::vector<MSRPBAudience> costlyAudiences() {
    MSRPBStringFilter cheap;
    MSRPBSetInt32(cheap, MSRStringFilterSlot::kMatchType, 1);
    MSRPBSetString(cheap, MSRStringFilterSlot::kExpression, "(?:.?){1000}X");
    // On the event's origin, which every event carries as text.
    MSRPBFilter parameter;
    MSRPBSetMessage(parameter, MSRFilterSlot::kStringFilter, cheap);
    MSRPBSetString(parameter, MSRFilterSlot::kParameterName, "_o");
    MSRPBSetBool(parameter, MSRFilterSlot::kComplement, true);
    std::vector<MSRPBAudience> audiences;
    for (int32_t id = 0; id < 100; ++id) {
        std::vector<MSRPBEventFilter> filters;
        for (int32_t filterID = 0; filterID < 10; ++filterID) {
            MSRPBEventFilter filter;
            MSRPBSetInt32(filter, MSREventFilterSlot::kFilterID, filterID);
            MSRPBSetString(filter, MSREventFilterSlot::kEventName, "e2e_event");
            MSRPBSetMessageArray(filter, MSREventFilterSlot::kParameterFilters, std::vector<MSRPBFilter>(25, parameter));
            MSRPBSetBool(filter, MSREventFilterSlot::kDynamic, true);
            filters.push_back(std::move(filter));
        }
        MSRPBAudience audience;
        MSRPBSetInt32(audience, MSRAudienceSlot::kAudienceID, id);
        MSRPBSetMessageArray(audience, MSRAudienceSlot::kEventFilters, std::move(filters));
        audiences.push_back(std::move(audience));
    }
    return audiences;
}

class AudienceMatchingWorkRoadTest : public DriverTest {
  protected:
    AudienceMatchingWorkRoadTest() : DriverTest("audiencework") {}

    // A run logging 20 events from `first` on (in `elsewhere`, when given,
    // instead of the test's data root); once all of them have arrived, how
    // long that took, the CPU time the run used and the most memory it held.
    struct Run {
        Clock::duration took{};
        std::chrono::nanoseconds cpu{};
        int64_t peak = 0;
        int status = -1;
    };
    Run twentyEventsArrive(int64_t first, const TemporaryDataRoot* elsewhere = nullptr) {
        Run run;
        std::vector<std::string> arguments = debugArguments({"--first", std::to_string(first), "--count", "20"});
        if (elsewhere) {
            arguments.insert(arguments.end(), {"--home", elsewhere->path().string(), "--log",
                                               (elsewhere->path() / "console.log").string()});
        }
        const auto began = Clock::now();
        DriverProcess driver(CALVARO_EVENT_DRIVER, arguments);
        auto arrived = [first](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [first](const auto& event) {
                       return event.name == "e2e_event" && event.intParam("n") >= first &&
                              event.intParam("n") < first + 20;
                   }) >= 20;
        };
        EXPECT_TRUE(waitOnDriver(driver, 120, [&] { return arrived(measurement.uploads()); })) << consoleTail();
        run.took = Clock::now() - began;
        run.cpu = cpuTimeOf(driver.pid());
        run.peak = peakResidentBytes(driver.pid());
        run.status = driver.exitAndWait(kDriverExitHang);
        return run;
    }
};

TEST_F(AudienceMatchingWorkRoadTest, ACostlyAudienceConfigurationIsRefusedAndHoldsNothing) {
    // The usual time: the same run on a data root of its own, before the
    // configuration is served.
    const TemporaryDataRoot usualRoot("audienceusual");
    const Run usual = twentyEventsArrive(1, &usualRoot);
    ASSERT_EQ(usual.status, 0) << consoleTail();

    MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(
        kDriverApp, 2, {{"measurement.upload.initial_upload_delay_time", "1000"}});
    MSRPBSetMessageArray(config, MSRConfigSlot::kAudiences, costlyAudiences());
    measurement.setConfig(kDriverApp, config);
    // The configuration is fetched 10 s after a start; the run's second event
    // comes after it and is bundled with the audiences it left.
    {
        DriverProcess driver(CALVARO_EVENT_DRIVER,
                             debugArguments({"--first", "100", "--count", "2", "--pace-us", "15000000"}));
        auto bothArrived = [](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [](const auto& event) { return event.intParam("n") >= 100; }) >= 2;
        };
        ASSERT_TRUE(waitOnDriver(driver, 120, [&] { return bothArrived(measurement.uploads()); })) << consoleTail();
        ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }
    EXPECT_NE(tools::consoleTail(root.path(), 4000).find("I-MSR006044"), std::string::npos) << consoleTail();

    // A usual run between two runs after the configuration: whatever load
    // slows both of those (a heavy neighbour) slows it as well.
    const Run after = twentyEventsArrive(200);
    const Run usualAgain = twentyEventsArrive(21, &usualRoot);
    const Run afterAgain = twentyEventsArrive(250);
    for (const Run* run : {&after, &usualAgain, &afterAgain}) {
        EXPECT_EQ(run->status, 0) << consoleTail();
        EXPECT_GT(run->peak, 0);
        EXPECT_LT(run->peak, kPeakLimit);
    }
    // By the CPU time each run used: the machine's other work stretches the
    // wall time of some runs and not others, not what a run does.
    const double quickestAfter = std::chrono::duration<double>(std::min(after.cpu, afterAgain.cpu)).count();
    const double slowestUsual = std::chrono::duration<double>(std::max(usual.cpu, usualAgain.cpu)).count();
    std::printf("20 events arrived after %.2f s of CPU at the least, %.2f s at the most without the configuration "
                "(%.2f s and %.2f s by the clock); peak %lld MiB\n",
                quickestAfter, slowestUsual, std::chrono::duration<double>(std::min(after.took, afterAgain.took)).count(),
                std::chrono::duration<double>(std::max(usual.took, usualAgain.took)).count(),
                static_cast<long long>(std::max(after.peak, afterAgain.peak) >> 20));
    // Bounds against the second each event took to match, which would slow
    // every run after the configuration, not a speed test.
    EXPECT_GE(std::min(after.cpu, afterAgain.cpu).count(), 0) << "unread";
    EXPECT_GE(std::min(usual.cpu, usualAgain.cpu).count(), 0) << "unread";
    EXPECT_LT(quickestAfter, 2 * slowestUsual + 5) << quickestAfter << " s against " << slowestUsual << " s";

    // SIGTERM while the run's events are still on their way: the end is
    // orderly, within its deadline, and stores every one of them.
    DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "300", "--count", "20", "--end-on-signal"}));
    ASSERT_TRUE(readOnDriver(driver, [](const auto& report) { return report.kind == DriverProcess::kAllLogged; }, 60))
        << consoleTail();
    const SignalledEnd end = endBySignal(driver);
    EXPECT_EQ(end.status, 128 + SIGTERM) << consoleTail();
    expectEndWithinItsLimit(end, consoleTail());
    EXPECT_EQ(driver.handledCount(), 20) << consoleTail();
}

}  // namespace
