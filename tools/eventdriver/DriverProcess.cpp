#include "tools/eventdriver/DriverProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <stdexcept>

namespace tools {

namespace {

constexpr int kReportFd = 3;

double secondsLeft(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
}

}  // namespace

DriverProcess::DriverProcess(const std::string& program, const std::vector<std::string>& arguments) {
    // Close-on-exec everywhere, so a driver never holds another one's pipes
    // open (the end of a pipe is how the parent learns that a driver ended).
    int reports[2], commands[2];
    if (pipe2(reports, O_CLOEXEC) != 0 || pipe2(commands, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    std::vector<std::string> all = arguments;
    all.insert(all.end(), {"--report-fd", std::to_string(kReportFd)});
    std::vector<char*> argv;
    std::string path = program;
    argv.push_back(path.data());
    for (auto& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The driver's standard error goes to the end of its console log, when it
    // keeps one, so that what it says there (why it left, a sanitizer's
    // report) is in what a failing test prints.
    int errors = -1;
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "--log")
            errors = open(arguments[i + 1].c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        dup2(reports[1], kReportFd);
        dup2(commands[0], STDIN_FILENO);
        if (errors >= 0) dup2(errors, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(reports[1]);
    close(commands[0]);
    if (errors >= 0) close(errors);
    reports_ = reports[0];
    commands_ = commands[1];
}

DriverProcess::~DriverProcess() {
    if (!reaped_) kill();
    if (reports_ >= 0) close(reports_);
    if (commands_ >= 0) close(commands_);
}

void DriverProcess::take(const Report& report) {
    if (report.kind == kHandled) {
        ++handledCount_;
        if (report.value > highestHandled_) highestHandled_ = report.value;
    } else if (report.kind == kMarkerHandled) {
        ++markersHandled_;
    } else if (report.kind == kAllLogged) {
        allLogged_ = true;
    } else if (report.kind == kEndedLetGo) {
        letGoAtEnd_ = static_cast<double>(report.value) / 1e6;
    } else if (report.kind == kEndedInflated) {
        inflatedAtEnd_ = report.value;
    } else if (report.kind == kEndedStatements) {
        statementsAtEnd_ = report.value;
    } else if (report.kind == kEndedCpu) {
        cpuAtEnd_ = std::chrono::nanoseconds(report.value);
    } else if (report.kind == kEnded) {
        endReported_ = std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(report.value)));
    }
}

bool DriverProcess::readUntil(const std::function<bool(const Report&)>& done, double timeoutSeconds) {
    // Reports taken in by an earlier call after the one that met its
    // condition are offered to this one first, in their order.
    while (!unchecked_.empty()) {
        const Report report = unchecked_.front();
        unchecked_.pop_front();
        if (done && done(report)) return true;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(timeoutSeconds));
    uint8_t buffer[4096];
    bool met = false;
    while (!met) {
        if (ended_) return false;
        const double left = secondsLeft(deadline);
        if (left <= 0) return false;
        pollfd waiting{reports_, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        const ssize_t got = read(reports_, buffer, sizeof buffer);
        if (got <= 0) {  // the driver ended
            ended_ = true;
            return false;
        }
        partial_.insert(partial_.end(), buffer, buffer + got);
        // Every complete report read is taken in at once, whatever chunk it
        // came in, so the counts hold as soon as this call returns; those
        // after the one that met the condition wait for the next call's.
        size_t used = 0;
        for (; used + sizeof(Report) <= partial_.size(); used += sizeof(Report)) {
            Report report;
            std::memcpy(&report, partial_.data() + used, sizeof report);
            take(report);
            if (met) {
                unchecked_.push_back(report);
            } else if (done && done(report)) {
                met = true;
            }
        }
        partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(used));
    }
    return true;
}

void DriverProcess::reap() {
    if (reaped_) return;
    waitpid(pid_, &status_, 0);
    reaped_ = true;
}

int DriverProcess::exitAndWait(double timeoutSeconds) {
    static const char command[] = "exit\n";
    (void)!write(commands_, command, sizeof command - 1);
    close(commands_);
    commands_ = -1;
    // The pipe ends when the driver does.
    readUntil(nullptr, timeoutSeconds);
    if (!ended_) {
        kill();
        return -1;
    }
    reap();
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int DriverProcess::waitForEnd(double timeoutSeconds) {
    readUntil(nullptr, timeoutSeconds);
    if (!ended_) {
        kill();
        return -1;
    }
    reap();
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void DriverProcess::kill() {
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    reap();
    // The reports written before the end are still in the pipe.
    readUntil(nullptr, 5);
}

std::string consoleTail(const std::filesystem::path& root, size_t lines) {
    std::ifstream in(root / "console.log");
    std::deque<std::string> tail;
    for (std::string line; std::getline(in, line);) {
        tail.push_back(line);
        if (tail.size() > lines) tail.pop_front();
    }
    std::string text = "\n--- last lines of the engine's console ---\n";
    for (const auto& line : tail) text += line + "\n";
    return text;
}

}  // namespace tools
