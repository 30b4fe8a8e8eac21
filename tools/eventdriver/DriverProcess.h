#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tools {

// The event driver program run as a child process: its reports come through a
// pipe, its standard input takes the "exit" command, and it can be killed at
// any point.
class DriverProcess {
  public:
    struct Report {
        int64_t kind = 0;  // as the driver numbers them
        int64_t value = 0;
    };
    static constexpr int64_t kHandled = 1;
    static constexpr int64_t kMarkerHandled = 2;
    static constexpr int64_t kAllLogged = 3;
    static constexpr int64_t kStopping = 4;
    static constexpr int64_t kCallsTook = 5;  // microseconds, with --hold-worker
    static constexpr int64_t kEnded = 6;      // the end is done; the steady clock's nanoseconds then
    static constexpr int64_t kEndedCpu = 7;   // just before kEnded: the process's CPU time, nanoseconds
    static constexpr int64_t kLinkOpened = 8; // with --open-link: the link was handed to the engine
    static constexpr int64_t kEndedInflated = 9;  // before kEndedCpu: every byte the process inflated
    static constexpr int64_t kEndedLetGo = 10;    // before kEndedInflated: the end let its work go at its
                                                  // deadline, of that many microseconds of its own time
    static constexpr int64_t kEndedStatements = 11;  // before kEndedCpu: every SQLite statement it ran

    // Starts the driver `program` with `arguments` (the report descriptor is
    // added). With "--log FILE" among them, its standard error is appended to
    // FILE as well.
    DriverProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~DriverProcess();
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

    // Reads reports until `done` answers true for one, the driver's end, or
    // the deadline; answers whether `done` was met. Every complete report
    // read is taken into the counts below before it returns; reports read
    // after the one that met `done` are offered to the next call's `done`
    // before it reads more.
    bool readUntil(const std::function<bool(const Report&)>& done, double timeoutSeconds);
    // Sends "exit" and waits for the driver's end; its exit status, or -1 when
    // it did not end in time (it is then killed).
    int exitAndWait(double timeoutSeconds);
    // Waits for the driver to end on its own (no "exit" sent); its exit
    // status, or -1 when it did not end in time (it is then killed).
    int waitForEnd(double timeoutSeconds);
    // SIGKILL, then reaps the child and reads the reports it left in the pipe.
    void kill();

    // What the reports said so far.
    int64_t handledCount() const { return handledCount_; }
    int64_t highestHandled() const { return highestHandled_; }
    int64_t markersHandled() const { return markersHandled_; }
    bool allLogged() const { return allLogged_; }
    // When the driver's end was done, by its report, if it made one: the
    // moment its deadline counts to, before it leaves the process. Both
    // processes read the machine's monotonic clock, so the moment is the
    // driver's, not when this process got round to reading it.
    std::optional<std::chrono::steady_clock::time_point> endReported() const { return endReported_; }
    // The CPU time the driver had used when its end was done, by the same report.
    std::optional<std::chrono::nanoseconds> cpuAtEnd() const { return cpuAtEnd_; }
    // The bytes the driver had inflated in all when its end was done.
    std::optional<int64_t> inflatedAtEnd() const { return inflatedAtEnd_; }
    // The deadline (seconds of the end's own time) at which the end let go
    // work that was still running, if it did.
    std::optional<double> letGoAtEnd() const { return letGoAtEnd_; }
    // The SQLite statements the driver had run in all when its end was done.
    std::optional<int64_t> statementsAtEnd() const { return statementsAtEnd_; }
    pid_t pid() const { return pid_; }
    // Whether the report pipe reached its end: the driver has gone.
    bool ended() const { return ended_; }

  private:
    void take(const Report& report);
    void reap();

    pid_t pid_ = -1;
    int reports_ = -1;   // read end of the report pipe
    int commands_ = -1;  // write end of the driver's standard input
    bool reaped_ = false;
    bool ended_ = false;  // the report pipe reached its end
    int status_ = 0;
    int64_t handledCount_ = 0;
    int64_t highestHandled_ = 0;
    int64_t markersHandled_ = 0;
    bool allLogged_ = false;
    std::optional<std::chrono::steady_clock::time_point> endReported_;
    std::optional<std::chrono::nanoseconds> cpuAtEnd_;
    std::optional<int64_t> inflatedAtEnd_;
    std::optional<double> letGoAtEnd_;
    std::optional<int64_t> statementsAtEnd_;
    std::vector<uint8_t> partial_;
    std::deque<Report> unchecked_;  // taken in, not yet offered to a condition
};

// The last lines of the driver's console log ("console.log" in its data
// root), with what it wrote on standard error, for failure messages.
std::string consoleTail(const std::filesystem::path& root, size_t lines = 40);

}  // namespace tools
