#include "app/SignalWatcher.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>

#include "platform/dispatch/GlobalQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/web/Chromium.h"

namespace app {
namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

SignalWatcher::SignalWatcher() {
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread_ = std::thread([this] { watch(); });
}

SignalWatcher::~SignalWatcher() {
    closing_.store(true);
    // Wakes the watcher's sigwait; it sees that it is closing and leaves.
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
}

double SignalWatcher::secondsLeft() const {
    const int64_t deadline = deadline_.load();
    if (deadline == 0) return kStopTimeLimit;
    return std::max(0.0, static_cast<double>(deadline - nowNanoseconds()) / 1e9);
}

void SignalWatcher::watch() {
    // Named, so that a look at the process tells it from the threads that
    // must block the signals (the only other one that may take them).
    pthread_setname_np(pthread_self(), kThreadName);
    const sigset_t set = stopSignals();
    for (;;) {
        int signal = 0;
        if (received_.load() == 0) {
            if (sigwait(&set, &signal) != 0) continue;
        } else {
            // The end is under way: wait for a second signal until the limit.
            const int64_t left = deadline_.load() - nowNanoseconds();
            timespec timeout{static_cast<time_t>(std::max<int64_t>(0, left) / 1'000'000'000),
                             static_cast<long>(std::max<int64_t>(0, left) % 1'000'000'000)};
            signal = sigtimedwait(&set, nullptr, &timeout);
            if (signal < 0 && errno == EINTR) continue;
            if (signal < 0) {
                if (closing_.load()) return;
                // The orderly end did not come in time. Stored events are in
                // the database already; work still running is let go, but
                // not what the process has outside itself.
                web::Chromium::end();
                const char message[] = "calvaro: the end took too long; stopped\n";
                (void)!write(STDERR_FILENO, message, sizeof message - 1);
                std::_Exit(128 + received_.load());
            }
        }
        if (closing_.load()) return;
        if (received_.load() != 0) {
            // Asked twice: the user does not want to wait for the end.
            web::Chromium::end();
            const char message[] = "calvaro: stopped at once by a second signal\n";
            (void)!write(STDERR_FILENO, message, sizeof message - 1);
            std::_Exit(128 + signal);
        }
        deadline_.store(nowNanoseconds() + static_cast<int64_t>(kStopTimeLimit * 1e9));
        received_.store(signal);
        // Wakes the main thread if it waits on its queue (a script's "wait").
        if (!dispatch::queuesHaveEnded()) dispatch::MainQueue::shared()->async([] {});
        // A picture in progress would hold the end past its deadline, which
        // then leaves the browser's profile behind: the browser is ended now
        // and the profile goes with it.
        web::Chromium::end();
    }
}

void startThreadAtRegistrationForTesting() {
    const char* asked = std::getenv("CALVARO_THREAD_AT_REGISTRATION");
    if (!asked || !*asked) return;
    // A pool's thread starts with its first block and stays until the end.
    dispatch::GlobalQueue::get(dispatch::Priority::Background)->async([] {});
}

}  // namespace app
