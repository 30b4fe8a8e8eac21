// The test tool that runs the event driver reads its reports off a pipe in
// whatever chunks they arrive. A stand-in driver (the shell) writes all of
// its reports in one write, as a driver does whose reader is slow: the counts
// must hold as soon as the read that met its condition returns, and the
// reports behind that one must still meet a later condition.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/eventdriver/DriverProcess.h"

namespace {

using tools::DriverProcess;

// A printf format writing `reports` as the driver does (two native int64s
// each), in octal escapes.
std::string printfFormat(const std::vector<DriverProcess::Report>& reports) {
    std::string format;
    for (const DriverProcess::Report& report : reports) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&report);
        for (size_t i = 0; i < sizeof report; ++i) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03o", bytes[i]);
            format += escape;
        }
    }
    return format;
}

// The shell, as a driver that reports `reports` at once, then waits for its
// standard input to say "exit" (the report descriptor comes as "$2").
std::vector<std::string> standInDriver(const std::vector<DriverProcess::Report>& reports) {
    return {"-c", "printf '" + printfFormat(reports) + "' >&\"$2\"; read line; exit 0", "stand-in"};
}

TEST(DriverProcessReportsTest, ReportsReadInTheChunkOfTheOneThatMetTheConditionAreTakenAtOnce) {
    // The kind of report the caller waits for first, then twenty handled
    // events, then the stop: one chunk.
    std::vector<DriverProcess::Report> reports{{DriverProcess::kAllLogged, 20}};
    for (int64_t n = 1; n <= 20; ++n) reports.push_back({DriverProcess::kHandled, n});
    reports.push_back({DriverProcess::kStopping, 1});
    DriverProcess driver("/bin/sh", standInDriver(reports));

    ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60));
    EXPECT_EQ(driver.handledCount(), 20);
    EXPECT_EQ(driver.highestHandled(), 20);

    // Those reports still meet the next condition, without another byte
    // from the driver, and in their order.
    std::vector<int64_t> seen;
    ASSERT_TRUE(driver.readUntil(
        [&](const auto& r) {
            if (r.kind == DriverProcess::kHandled) seen.push_back(r.value);
            return r.kind == DriverProcess::kHandled && r.value == 5;
        },
        60));
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 2, 3, 4, 5}));
    ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kStopping; }, 60));

    // Taken once each, however many calls saw them.
    EXPECT_EQ(driver.exitAndWait(60), 0);
    EXPECT_EQ(driver.handledCount(), 20);
}

TEST(DriverProcessReportsTest, ReportsBehindTheConditionAreCountedWhenTheDriverEndsRightAfter) {
    // The driver's end follows the chunk at once: no later read takes the
    // rest of it in.
    std::vector<DriverProcess::Report> reports{{DriverProcess::kAllLogged, 20}};
    for (int64_t n = 101; n <= 120; ++n) reports.push_back({DriverProcess::kHandled, n});
    DriverProcess driver("/bin/sh", {"-c", "printf '" + printfFormat(reports) + "' >&\"$2\"", "stand-in"});

    ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60));
    EXPECT_EQ(driver.waitForEnd(60), 0);
    EXPECT_EQ(driver.handledCount(), 20);
    EXPECT_EQ(driver.highestHandled(), 120);
}

}  // namespace
