// Two processes on one data root: the second stops at once, naming the
// root and the process that holds it, and touches nothing; the first loses
// nothing and the collector sees each of its events once.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "tests/e2e/DriverHarness.h"

namespace {

using tools::DriverProcess;

constexpr int64_t kSharedRootEvents = 300;
constexpr int kDriverRefused = 5;

class SharedDataRootTest : public DriverTest {
  protected:
    SharedDataRootTest() : DriverTest("shared-root") {}

    // Each accepted event of [first, first + count) exactly once, and none of
    // the refused process's, numbered from `refusedFirst`.
    void expectEachOnce(int64_t first, int64_t count, int64_t refusedFirst) {
        std::map<int64_t, int> seen;
        for (const auto& event : measurement.acceptedEvents()) {
            if (auto n = event.intParam("n"); event.name == "e2e_event" && n) ++seen[*n];
        }
        for (int64_t n = first; n < first + count; ++n) ASSERT_EQ(seen[n], 1) << "event " << n << consoleTail();
        for (const auto& [n, times] : seen)
            EXPECT_FALSE(n >= refusedFirst && n < refusedFirst + kSharedRootEvents) << "an event of the refused process";
        EXPECT_EQ(measurement.repeatedBundleCount(), 0u);
    }
};

TEST_F(SharedDataRootTest, StartedTogetherOneRunsAndTheOtherIsRefused) {
    DriverProcess one(CALVARO_EVENT_DRIVER, debugArguments({"--count", std::to_string(kSharedRootEvents)}));
    DriverProcess two(CALVARO_EVENT_DRIVER,
                      debugArguments({"--first", "1000001", "--count", std::to_string(kSharedRootEvents)}));
    // The refused one ends by itself at once; the other waits for "exit".
    ASSERT_TRUE(one.readUntil([&](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60) ||
                two.readUntil([&](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60));
    DriverProcess& runner = one.allLogged() ? one : two;
    DriverProcess& refused = one.allLogged() ? two : one;
    EXPECT_EQ(refused.waitForEnd(kDriverExitHang), kDriverRefused);
    EXPECT_EQ(refused.handledCount(), 0);
    ASSERT_EQ(runner.exitAndWait(kDriverExitHang), 0) << consoleTail();
    EXPECT_EQ(runner.handledCount(), kSharedRootEvents);
    if (&runner == &one) {
        expectEachOnce(1, kSharedRootEvents, 1000001);
    } else {
        expectEachOnce(1000001, kSharedRootEvents, 1);
    }
}

TEST_F(SharedDataRootTest, StartedWhileAnotherRunsIsRefusedAndTouchesNothing) {
    // Logging spread over about a second, so that the others start while it runs.
    DriverProcess first(CALVARO_EVENT_DRIVER,
                        debugArguments({"--count", std::to_string(kSharedRootEvents), "--pace-us", "3000"}));
    ASSERT_TRUE(first.readUntil([&](const auto&) { return first.handledCount() >= 1; }, 60)) << consoleTail();

    DriverProcess second(CALVARO_EVENT_DRIVER, debugArguments({"--first", "1000001", "--count", "50"}));
    EXPECT_EQ(second.waitForEnd(kDriverExitHang), kDriverRefused);
    EXPECT_EQ(second.handledCount(), 0);

    // The application itself, on the same root: refused with a message that
    // names the root and the holder, before it reads or writes anything there.
    const std::string command = std::string(CALVARO_EXECUTABLE) + " --home '" + root.path().string() + "' 2>&1";
    std::string output;
    int status = -1;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
        status = pclose(pipe);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
    EXPECT_NE(output.find("is in use by process " + std::to_string(first.pid())), std::string::npos) << output;
    EXPECT_NE(output.find(std::filesystem::weakly_canonical(root.path()).string()), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(root.path() / "Library/Preferences/org.calvaro.Calvaro.plist"));

    ASSERT_EQ(first.exitAndWait(kDriverExitHang), 0) << consoleTail();
    EXPECT_EQ(first.handledCount(), kSharedRootEvents);
    expectEachOnce(1, kSharedRootEvents, 1000001);

    // Once the first has ended, the root is free again.
    DriverProcess after(CALVARO_EVENT_DRIVER, debugArguments({"--first", "2000001", "--count", "1"}));
    EXPECT_EQ(after.exitAndWait(kDriverExitHang), 0) << consoleTail();
    EXPECT_EQ(after.handledCount(), 1);
}

}  // namespace
