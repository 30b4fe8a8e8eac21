#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace app {

// Turns SIGINT, SIGTERM and SIGHUP into a request to stop, so that a process
// told to end still ends in order: the script stops before its next action
// (or in the middle of a wait) and the application ends as after the last
// line. A second such signal while the end runs leaves at once, and so does
// a process still there kStopTimeLimit after the first: whatever holds it (a
// server-sent program that does not end, a wait on a busy queue), what was
// stored stays stored and the rest is let go. What the process has outside
// itself (a browser making a picture, its profile) is ended and removed at
// the first signal and again before a forced exit.
//
// Make it first thing in main, before any thread starts: it blocks those
// signals in the calling thread, so every thread started later inherits the
// block and only the watcher's own thread receives them.
class SignalWatcher {
  public:
    SignalWatcher();
    // Joins the watcher's thread.
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // From the first signal to the forced exit.
    static constexpr double kStopTimeLimit = 1.8;
    // The name of the watcher's thread: the one thread of the process that
    // takes the signals; every other one blocks them.
    static constexpr const char* kThreadName = "signal watcher";

    // The first signal received, 0 while none was.
    int received() const { return received_.load(); }
    // Seconds left until the forced exit; kStopTimeLimit while no signal came.
    double secondsLeft() const;

  private:
    void watch();
    std::atomic<int> received_{0};
    // Steady-clock nanoseconds of the forced exit, set with received_.
    std::atomic<int64_t> deadline_{0};
    std::atomic<bool> closing_{false};
    std::thread thread_;
};

// With CALVARO_THREAD_AT_REGISTRATION set in the environment, starts a
// thread of a shared queue where it is called, as a module's registration
// may (a reporter made then, the monitor's queue when one of them logs).
// Called among the registrations, it makes every run show a watcher made
// after them: that thread would take the signals. For process tests.
void startThreadAtRegistrationForTesting();

}  // namespace app
