// A served program that writes every log line it is allowed for each event:
// the lines feed the monitor's health data, whose file is written a few
// times per run instead of once per line, so the run takes about as long as
// one whose events the program lets pass without a line, and every event is
// stored and uploaded.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRMonitor.h"
#include "tests/e2e/ServedProgramTest.h"
#include "tests/support/TestPaths.h"

namespace {

// Events numbered from 1000 on are logged about, as warnings the health data
// counts, past the per-event bound of log lines; lower numbers pass without
// a line.
constexpr const char* kLoggingProgram = R"(
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e")
      (let "n" "i" "logger")
      (assign "n" (call $e "getParamValue" (array "n"))) (assign "i" 0)
      (assign "logger" (require "internal.logger"))
      (if (ge $n 1000) (list (loop (lt $i 150) (assign "i" (add $i 1)) false
          (list (call $logger "log" (array 5 (add "line " $i)))))))
      (return 0))
    (object "type" "edit")))
)";

constexpr int kLoggedEvents = 10;

// Counts the writes of one preferences file: each write renames a finished
// file into its place. A queue that overflowed counts as too many to tell.
class PreferenceFileWrites {
  public:
    PreferenceFileWrites(const std::filesystem::path& directory, std::string fileName)
        : fileName_(std::move(fileName)), fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ >= 0) inotify_add_watch(fd_, directory.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~PreferenceFileWrites() {
        if (fd_ >= 0) close(fd_);
    }
    PreferenceFileWrites(const PreferenceFileWrites&) = delete;
    PreferenceFileWrites& operator=(const PreferenceFileWrites&) = delete;

    bool watching() const { return fd_ >= 0; }
    // Reads what has come so far; read it now and then so that the kernel's
    // queue does not overflow.
    int64_t count() {
        alignas(inotify_event) char buffer[64 * 1024];
        for (ssize_t got; (got = read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->mask & IN_Q_OVERFLOW) count_ = INT64_MAX / 2;
                if (event->len > 0 && fileName_ == event->name) ++count_;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return count_;
    }

  private:
    std::string fileName_;
    int fd_;
    int64_t count_ = 0;
};

class LoggingProgramRoadTest : public ServedProgramTest {
  protected:
    LoggingProgramRoadTest() : ServedProgramTest("logging", kLoggingProgram) {}

    struct Run {
        double seconds = 0;     // by the wall clock, to the driver's end
        double cpuSeconds = 0;  // the driver's CPU time once every event was uploaded
    };

    // A driver run of kLoggedEvents events numbered from `first` until every
    // one is uploaded and the driver has ended. Its CPU time is what a
    // comparison of runs reads: a crowded machine stretches the wall time of
    // one run and not of another, and the waits of a process of many threads
    // for a core overlap too much to be taken off its wall time.
    Run runUntilUploaded(int first, PreferenceFileWrites& writes) {
        const auto started = std::chrono::steady_clock::now();
        tools::DriverProcess driver(CALVARO_EVENT_DRIVER,
                                    debugArguments({"--first", std::to_string(first), "--count",
                                                    std::to_string(kLoggedEvents)}));
        // Only a hang reaches it.
        web::GroupDeadline deadline(120, driver.pid());
        auto uploaded = [&](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [&](const tools::CollectedEvent& event) {
                       const std::optional<int64_t> n = event.intParam("n");
                       return event.name == "e2e_event" && n && *n >= first && *n < first + kLoggedEvents;
                   }) >= static_cast<size_t>(kLoggedEvents);
        };
        while (!measurement.waitUntil(uploaded, 0.5)) {
            writes.count();
            if (deadline.passed()) {
                ADD_FAILURE() << "events of " << first << " on were not all uploaded\n" << consoleTail();
                return {};
            }
        }
        Run run;
        run.cpuSeconds = cpuSecondsOf(driver.pid());
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        writes.count();
        run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return run;
    }
};

TEST_F(LoggingProgramRoadTest, AProgramThatLogsEveryLineItMayCostsTheStartNoWritePerLine) {
    ASSERT_NO_FATAL_FAILURE(bringTheConfigurationHome());
    PreferenceFileWrites writes(root.path() / "Library" / "Preferences",
                                std::string(kMSRReverseDomainRoot) + ".monitor.plist");
    ASSERT_TRUE(writes.watching()) << std::strerror(errno);

    // Quiet and logging runs alternate, so that a busy machine weighs on
    // both: whatever load slows both logging runs slows the quiet run
    // between them as well. What the lines cost, they cost every logging run.
    double quiet = 0, logging = 0, slowestQuiet = 0, quickestLogging = 0;
    int64_t loggingWrites = 0;
    for (int pass = 1; pass <= 2; ++pass) {
        const Run quietRun = runUntilUploaded(100 * (pass + 1), writes);
        quiet += quietRun.seconds;
        slowestQuiet = std::max(slowestQuiet, quietRun.cpuSeconds);
        const int64_t before = writes.count();
        const Run loggingRun = runUntilUploaded(1000 * pass, writes);
        const double seconds = loggingRun.seconds;
        logging += seconds;
        quickestLogging = pass == 1 ? loggingRun.cpuSeconds : std::min(quickestLogging, loggingRun.cpuSeconds);
        const int64_t written = writes.count() - before;
        loggingWrites += written;
        // Over a thousand lines: a write per interval and one at the end.
        EXPECT_LE(written, seconds / MSRMonitor::kSaveInterval + 2) << seconds << " s";
        ASSERT_FALSE(HasFailure()) << consoleTail();
    }
    RecordProperty("quiet_seconds", std::to_string(quiet));
    RecordProperty("logging_seconds", std::to_string(logging));
    std::printf("quiet runs %.2f s, logging runs %.2f s, %lld writes of the health data\n", quiet, logging,
                static_cast<long long>(loggingWrites));
    EXPECT_LT(quickestLogging, 2 * calibrationCpuSeconds(slowestQuiet))
        << quickestLogging << " s against " << slowestQuiet << " s of the driver's CPU time";
    // The lines reached the monitor: the last of each event says the rest
    // were dropped.
    EXPECT_NE(tools::consoleTail(root.path(), 400).find("Further log lines of this event dropped"),
              std::string::npos)
        << consoleTail();
}

}  // namespace
