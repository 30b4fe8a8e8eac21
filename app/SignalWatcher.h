#pragma once

#include <atomic>
#include <thread>

namespace app {

// Turns SIGINT, SIGTERM and SIGHUP into a request to stop, so that a process
// told to end still ends in order: the script stops before its next action
// (or in the middle of a wait) and the application ends as after the last
// line. A second such signal while the end runs leaves at once.
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

    // The first signal received, 0 while none was.
    int received() const { return received_.load(); }

  private:
    void watch();
    std::atomic<int> received_{0};
    std::atomic<bool> closing_{false};
    std::thread thread_;
};

}  // namespace app
