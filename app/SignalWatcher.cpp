#include "app/SignalWatcher.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ProcessEnd.h"

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

void SignalWatcher::watch() {
    const sigset_t set = stopSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (closing_.load()) return;
        if (received_.exchange(signal) != 0) {
            // Asked twice: the user does not want to wait for the end.
            const char message[] = "calvaro: stopped at once by a second signal\n";
            (void)!write(STDERR_FILENO, message, sizeof message - 1);
            std::_Exit(128 + signal);
        }
        // Wakes the main thread if it waits on its queue (a script's "wait").
        if (!dispatch::queuesHaveEnded()) dispatch::MainQueue::shared()->async([] {});
    }
}

}  // namespace app
