// event_driver: starts the real measurement engine on a data root and logs
// numbered events through the public interface, for end-to-end and crash tests.
//
//   event_driver --home DIR --url BASE [--app-id ID] [--debug] [--log FILE]
//                [--first N] [--count C] [--threads T] [--pace-us U]
//                [--marker M] [--report-fd FD] [--hold-worker] [--end-on-signal]
//
// C events named "e2e_event" carry the parameter n = N, N+1, ... N+C-1, spread
// over T threads (thread t logs N+t, N+t+T, ...); each thread waits U
// microseconds between its calls, as an application would between user
// actions. Then, with --marker, one "e2e_marker" event with n = M follows.
//
// With --report-fd, records of 16 bytes (int64 kind, int64 value) are written
// to that descriptor: kind 1 when the engine has handled numbered event
// `value` (its write is over), kind 2 when it has handled marker `value`,
// kind 3 once every call has been made (value C), kind 4 when the driver
// stops (value 1 when nothing waited for upload any more, else 0), kind 6
// once its end is done, the queues ended and the databases closed or let go
// (value: the steady clock's nanoseconds then, the machine's monotonic clock
// that the reader shares): what the process does after that, its static
// objects and a sanitizer's checks on the way out, is no part of the end.
// Before kind 6, kind 10 when the end let work still running go at its
// deadline (value: that deadline, microseconds of the end's own time).
//
// The driver then reads standard input; a line "exit" or the end of input
// makes it wait until the engine holds no event for upload (up to 20 s) and
// stop in order. It may be killed at any time instead: that is what it is for.
//
// Exit status: 0 once nothing waits for upload, 3 when something still did,
// 4 when the engine's work did not end, 5 when another process holds the data
// root (nothing in it was touched), 6 when events could not be stored, 7 when
// --hold-worker could not hold the worker or --consent-behind-the-engine saw
// no engine start.
//
// With --hold-worker the engine's worker queue is held (as by a long task)
// while the C events are logged from the main thread; kind 5 then reports how
// long those calls took in all (microseconds), and the worker is let go.
//
// With --purchase PRODUCT:ID the store sells PRODUCT and, once the engine is
// started, its payment queue delivers the purchase ID; with --kill-after-delivery
// the process then kills itself at once, before the purchase can be reported.
// Unfinished purchases stay in the data root and are delivered again at the
// next start (give --purchase PRODUCT: for the catalog alone).
//
// With --transaction-before-start PRODUCT:ID the store sells PRODUCT and a
// transaction ID of the newer store interface is logged before the engine
// has started.
//
// With --end-on-signal the driver waits for SIGTERM or SIGINT instead of its
// standard input, and then ends as the application does on a signal: the
// application terminates, the work begun for the background gets 1 s, the
// queues what is left of 1.8 s from the signal; work still running then is
// let go, as the application lets it go. Those seconds are the end's own, as
// on a machine of its own: the time its threads waited for a core on a
// crowded one does not count. Exit status 128 + the signal when
// that end was orderly (every event logged stored, nothing lost), else 4 or 6
// as above.
//
// With --set-conditional K another framework sets the conditional user
// property "cup_K" through the connector right after the host's
// configuration; it waits for the trigger event "e2e_trigger", whose arrival
// logs "e2e_triggered" with n = K. With --trigger, once every event above is
// handled, "e2e_trigger" is logged (before kind 3 is reported).
//
// With --hold-worker-at-end (and --end-on-signal) the engine's worker is held
// from the signal on, as by work that outlasts the end's deadline: the end
// then lets it go, and is orderly all the same when every event is stored.
//
// With --log-at-end N (and --hold-worker-at-end) N more numbered events are
// logged once the worker is held at the end: the end leaves them behind,
// unstored, and says how many.
//
// With --allowlist NAME,NAME... the engine starts with that allowlist, as a
// host passes it: only those events are stored. With --sessions the engine
// begins sessions as the application's does (its reporters are registered).
//
// With --open-link URL the application hands the engine URL as a link opened
// while it runs, once the events above are logged; kind 7 (value 1) is
// reported once the call has returned, before kind 3. With
// --open-link-behind-work the engine's facade queue is busy with earlier work
// while the link is opened, and 20 ms later still: the link reaches the engine
// at least that long after its opening, as on a busy start.
//
// With --consent TYPE=STATUS[,TYPE=STATUS...] the application sets that
// consent through the public interface right after the host's configuration,
// before the events; with --facade-consent the same through the facade's own
// call. With --consent-ahead-of-the-engine the engine's start waits until
// those calls have returned (the facade's queue is held from before the
// configuration), as on a busy start: it comes after them every run. With
// --consent-behind-the-engine they wait until the engine's start is over.
//
// With --editing-seconds-per-batch S a served program gets S seconds for
// each batch of logged events instead of the application's 1 s, and with
// --program-time-limit S each of its runs S seconds instead of 1 s: a test
// sets the bounds whose outcome it checks, whatever the machine's speed.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analytics/core/DEDIzurarove.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/reporters/MSRInAppPurchaseTransactionReporter.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/foundation/DataLoss.h"
#include "platform/security/Compression.h"
#include "platform/store/PaymentQueue.h"
#include "platform/store/StoreTransaction.h"
#include "platform/ui/Application.h"
#include "tools/eventdriver/EngineDriver.h"

namespace {

enum RecordKind : int64_t {
    kHandled = 1,
    kMarkerHandled = 2,
    kAllLogged = 3,
    kStopping = 4,
    kCallsTook = 5,
    kEnded = 6,
    kEndedCpu = 7,
    kLinkOpened = 8,
    kEndedInflated = 9,
    kEndedLetGo = 10,
    kEndedStatements = 11
};

int reportFd = -1;
std::mutex reportMutex;

void report(int64_t kind, int64_t value) {
    if (reportFd < 0) return;
    const int64_t record[2] = {kind, value};
    std::lock_guard lock(reportMutex);
    (void)!write(reportFd, record, sizeof record);
}

// The end is done: the bytes the process inflated in all and the SQLite
// statements it ran (the work its passes over stored rows did, counted
// where it was done), the CPU time it has used so far (what its end cost,
// set against a reading at the signal, whatever else shares its core), then
// the moment.
void reportEnded() {
    report(kEndedInflated, static_cast<int64_t>(security::Inflater::inflatedInProcessForTesting()));
    report(kEndedStatements, static_cast<int64_t>(MSRSqliteStore::statementsRunInProcessForTesting()));
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    report(kEndedCpu, static_cast<int64_t>(used.tv_sec) * 1'000'000'000 + used.tv_nsec);
    report(kEnded, std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count());
}

int usage(const char* program) {
    std::fprintf(
        stderr,
        "usage: %s --home DIR --url BASE [--app-id ID] [--debug] [--log FILE] [--first N] [--count C]\n"
        "       [--threads T] [--pace-us U] [--marker M] [--report-fd FD]\n"
        "       [--purchase PRODUCT:ID] [--kill-after-delivery] [--transaction-before-start PRODUCT:ID]\n"
        "       [--hold-worker] [--set-conditional K] [--trigger] [--end-on-signal] [--hold-worker-at-end]\n"
        "       [--editing-seconds-per-batch S] [--program-time-limit S] [--open-link URL] [--open-link-behind-work]\n"
        "       [--log-at-end N] [--consent TYPE=STATUS,...] [--facade-consent TYPE=STATUS,...]\n"
        "       [--consent-ahead-of-the-engine] [--consent-behind-the-engine]\n",
        program);
    return 2;
}

// The time an end has had since it began, as on a machine of its own: the
// wall clock less the time the process's busiest thread spent waiting for a
// core (the kernel's schedstat). A core shared with many other processes
// stretches the wall clock many times over, not the end's work; a worker
// that is held or waits on nothing counts as on a quiet machine. Without
// schedstat, the wall clock.
class EndClock {
  public:
    EndClock() : began_(std::chrono::steady_clock::now()), waitedBefore_(waitedByThread()) {}

    double seconds() const { return std::max(0.0, wallSeconds() - waitedSince()); }
    double wallSeconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    }

  private:
    // Seconds each thread of the process has waited for a core, by id.
    static std::map<std::string, double> waitedByThread() {
        std::map<std::string, double> waited;
        DIR* tasks = opendir("/proc/self/task");
        if (!tasks) return waited;
        while (const dirent* task = readdir(tasks)) {
            if (task->d_name[0] == '.') continue;
            std::ifstream in(std::string("/proc/self/task/") + task->d_name + "/schedstat");
            unsigned long long running = 0, waiting = 0;
            if (in >> running >> waiting) waited[task->d_name] = static_cast<double>(waiting) / 1e9;
        }
        closedir(tasks);
        return waited;
    }
    double waitedSince() const {
        double most = 0;
        for (const auto& [thread, waited] : waitedByThread()) {
            const auto before = waitedBefore_.find(thread);
            most = std::max(most, waited - (before == waitedBefore_.end() ? 0.0 : before->second));
        }
        return most;
    }

    std::chrono::steady_clock::time_point began_;
    std::map<std::string, double> waitedBefore_;
};

// Work still running at the end is let go, as the application lets it go at
// its end's deadline: that is orderly when `stored` (when given) answers that
// every event handed over was stored, else the run ends with 4.
[[noreturn]] void leaveWithoutTheWork(double limit, int status, const std::function<bool()>& stored) {
    const bool orderly = stored && stored() && !foundation::DataLoss::describe();
    std::fprintf(stderr, "event_driver: the engine's work did not finish within %.2f s; leaving without it%s\n",
                 limit, orderly ? " (every event it was handed is stored)" : "");
    // The worker may still be storing: what it holds now is what is lost.
    if (const size_t left = MSRMeasurement::eventsNotStoredYet(); left > 0 && !orderly)
        std::fprintf(stderr, "event_driver: %zu events handed over were left behind, not stored\n", left);
    std::fflush(nullptr);
    report(kEndedLetGo, static_cast<int64_t>(limit * 1e6));
    reportEnded();
    std::_Exit(orderly ? status : 4);
}

// Nothing outlives main: the engine's queues finish their work and their
// threads are joined, within `limit` seconds, before static objects go. The
// run's `status` unless something was lost (see leaveWithoutTheWork).
int endRun(double limit, int status, const std::function<bool()>& stored = {}) {
    if (!dispatch::endQueues(limit)) leaveWithoutTheWork(limit, status, stored);
    MSRSqliteStore::closeAllDatabases();
    if (auto lost = foundation::DataLoss::describe()) {
        std::fprintf(stderr, "event_driver: %s\n", lost->c_str());
        reportEnded();
        return 6;
    }
    reportEnded();
    return status;
}

// As the application ends on a signal (app/Launcher.cpp, app/main.cpp): it
// terminates, its background work gets a second, its queues what is left of
// the end's time. That time is the end's own (EndClock), so that a crowded
// machine does not cut short an end whose work fits: the queues are drained
// within it, then ended within what is left, stretched as the machine has
// stretched the end so far.
int endAsTheApplicationOnSignal(int signal, const std::function<bool()>& stored) {
    constexpr double kStopTimeLimit = 1.8, kInterruptedTimeLimit = 1.0, kExitMargin = 0.2;
    constexpr double kLook = 0.05;
    const EndClock clock;
    ui::Application::shared().terminate();
    while (!ui::Application::shared().waitForBackgroundTasks(kLook) && clock.seconds() < kInterruptedTimeLimit)
        continue;
    const double limit = kStopTimeLimit - kExitMargin;
    while (!dispatch::drainQueues(kLook))
        if (clock.seconds() >= limit) leaveWithoutTheWork(limit, 128 + signal, stored);
    const double stretch = std::clamp(clock.wallSeconds() / std::max(clock.seconds(), 1e-3), 1.0, 30.0);
    return endRun(std::max(0.0, limit - clock.seconds()) * stretch, 128 + signal, stored);
}

// "TYPE=STATUS,TYPE=STATUS..." as a consent call's dictionary; nothing when
// an entry has no "=".
std::optional<foundation::Value::Dictionary> consentFromText(const std::string& text) {
    foundation::Value::Dictionary consent;
    for (size_t at = 0; at < text.size();) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string entry = text.substr(at, comma - at);
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) return std::nullopt;
        consent[entry.substr(0, equals)] = foundation::Value(entry.substr(equals + 1));
        at = comma + 1;
    }
    return consent;
}

// Waits until the engine's one-time start is over, up to `boundSeconds`
// (a bound that only catches a hang).
bool engineStarted(double boundSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(boundSeconds);
    for (;;) {
        auto engine = MSRMeasurement::sharedInstance();
        if (engine && engine->didInitializeComponents()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    tools::EngineDriverOptions options;
    int64_t first = 1, count = 0, threads = 1, paceMicros = 0;
    std::optional<int64_t> marker;
    std::string purchaseID;
    bool killAfterDelivery = false;
    bool holdWorker = false;
    std::optional<int64_t> conditional;
    bool trigger = false;
    bool endOnSignal = false;
    bool holdWorkerAtEnd = false;
    int64_t logAtEnd = 0;
    std::string openLink;
    bool openLinkBehindWork = false;
    std::optional<foundation::Value::Dictionary> publicConsent, facadeConsent;
    bool consentAheadOfTheEngine = false, consentBehindTheEngine = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto number = [&] { return std::strtoll(argv[++i], nullptr, 10); };
        if (arg == "--home" && hasValue) {
            options.home = argv[++i];
        } else if (arg == "--url" && hasValue) {
            options.measurementURL = argv[++i];
        } else if (arg == "--app-id" && hasValue) {
            options.appID = argv[++i];
        } else if (arg == "--log" && hasValue) {
            options.consoleLog = argv[++i];
        } else if (arg == "--debug") {
            options.debugMode = true;
        } else if (arg == "--first" && hasValue) {
            first = number();
        } else if (arg == "--count" && hasValue) {
            count = number();
        } else if (arg == "--threads" && hasValue) {
            threads = number();
        } else if (arg == "--pace-us" && hasValue) {
            paceMicros = number();
        } else if (arg == "--marker" && hasValue) {
            marker = number();
        } else if (arg == "--purchase" && hasValue) {
            const std::string value = argv[++i];
            const size_t colon = value.find(':');
            if (colon == std::string::npos) return usage(argv[0]);
            options.storeProduct = value.substr(0, colon);
            purchaseID = value.substr(colon + 1);
        } else if (arg == "--transaction-before-start" && hasValue) {
            const std::string value = argv[++i];
            const size_t colon = value.find(':');
            if (colon == std::string::npos) return usage(argv[0]);
            store::StoreTransaction transaction;
            transaction.productID = options.storeProduct = value.substr(0, colon);
            transaction.id = transaction.originalID = std::strtoull(value.c_str() + colon + 1, nullptr, 10);
            transaction.productType = store::ProductType::Consumable;
            transaction.purchaseDate = transaction.originalPurchaseDate = 1'700'000'000.5;
            options.beforeStart = [transaction] { logTransaction(transaction); };
        } else if (arg == "--kill-after-delivery") {
            killAfterDelivery = true;
        } else if (arg == "--hold-worker") {
            holdWorker = true;
        } else if (arg == "--set-conditional" && hasValue) {
            conditional = number();
        } else if (arg == "--trigger") {
            trigger = true;
        } else if (arg == "--end-on-signal") {
            endOnSignal = true;
        } else if (arg == "--open-link" && hasValue) {
            openLink = argv[++i];
        } else if (arg == "--open-link-behind-work") {
            openLinkBehindWork = true;
        } else if ((arg == "--consent" || arg == "--facade-consent") && hasValue) {
            auto consent = consentFromText(argv[++i]);
            if (!consent) return usage(argv[0]);
            (arg == "--consent" ? publicConsent : facadeConsent) = std::move(consent);
        } else if (arg == "--consent-ahead-of-the-engine") {
            consentAheadOfTheEngine = true;
        } else if (arg == "--consent-behind-the-engine") {
            consentBehindTheEngine = true;
        } else if (arg == "--hold-worker-at-end") {
            holdWorkerAtEnd = true;
        } else if (arg == "--log-at-end" && hasValue) {
            logAtEnd = number();
        } else if (arg == "--editing-seconds-per-batch" && hasValue) {
            const double seconds = std::strtod(argv[++i], nullptr);
            if (!(seconds > 0)) return usage(argv[0]);
            MSRMeasurement::setEditingSecondsPerBatchForTesting(seconds);
        } else if (arg == "--sessions") {
            options.sessions = true;
        } else if (arg == "--allowlist" && hasValue) {
            std::string names = argv[++i];
            for (size_t at = 0; at <= names.size();) {
                const size_t comma = std::min(names.find(',', at), names.size());
                if (comma > at) options.allowlist.push_back(names.substr(at, comma - at));
                at = comma + 1;
            }
        } else if (arg == "--program-time-limit" && hasValue) {
            options.programTimeLimitSeconds = std::strtod(argv[++i], nullptr);
            if (!(options.programTimeLimitSeconds > 0)) return usage(argv[0]);
        } else if (arg == "--report-fd" && hasValue) {
            reportFd = static_cast<int>(number());
        } else {
            return usage(argv[0]);
        }
    }
    if (options.home.empty() || options.measurementURL.empty() || count < 0 || logAtEnd < 0 || threads < 1 ||
        paceMicros < 0) {
        return usage(argv[0]);
    }

    // Before any thread starts, so that every thread inherits the block and
    // only sigwait below takes the signals.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGINT);
    if (endOnSignal) pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    // The engine starts on the facade's queue once the host is configured:
    // held there, it starts after the consent calls.
    auto engineHeld = std::make_shared<dispatch::TimedSemaphore>();
    if (consentAheadOfTheEngine) {
        options.beforeStart = [before = options.beforeStart, engineHeld] {
            if (before) before();
            // The bound only catches a hang: a crowded machine may take
            // long to reach the calls.
            DEDIzurarove::dispatchAsyncOnSerialQueue([engineHeld] { engineHeld->wait(600); });
        };
    }
    tools::EngineDriver driver(options);
    static std::atomic<int64_t> handled{0};
    driver.watchNumberedEvents([](const std::string& name, int64_t number) {
        report(name == tools::EngineDriver::kMarkerEventName ? kMarkerHandled : kHandled, number);
        ++handled;
    });
    if (auto refused = driver.start()) {
        std::fprintf(stderr, "event_driver: %s\n", refused->c_str());
        return 5;
    }
    if (consentBehindTheEngine && !engineStarted(600)) {
        std::fprintf(stderr, "event_driver: the engine did not start\n");
        return 7;
    }
    if (publicConsent) DEDIzurarove::setConsent(*publicConsent);
    if (facadeConsent) MSRAnalytics::setConsent(*facadeConsent);
    engineHeld->signal();
    if (conditional) tools::EngineDriver::setConditionalProperty(*conditional);
    if (!purchaseID.empty()) {
        store::PaymentTransaction purchase;
        purchase.payment.productIdentifier = options.storeProduct;
        purchase.transactionIdentifier = purchaseID;
        purchase.transactionDate = 1'700'000'000.25;
        store::PaymentQueue::defaultQueue().deliver({purchase});
        if (killAfterDelivery) raise(SIGKILL);
    }

    if (holdWorker) {
        std::optional<std::function<void()>> release = tools::EngineDriver::holdWorker(30);
        if (!release) {
            std::fprintf(stderr, "event_driver: the engine's worker could not be held\n");
            return 7;
        }
        const auto began = std::chrono::steady_clock::now();
        for (int64_t n = first; n < first + count; ++n)
            tools::EngineDriver::logNumbered(tools::EngineDriver::kNumberedEventName, n);
        report(kCallsTook,
               std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began)
                   .count());
        (*release)();
        threads = 0;
    }
    std::vector<std::thread> loggers;
    for (int64_t t = 0; t < threads; ++t) {
        loggers.emplace_back([=] {
            for (int64_t n = first + t; n < first + count; n += threads) {
                tools::EngineDriver::logNumbered(tools::EngineDriver::kNumberedEventName, n);
                if (paceMicros > 0) std::this_thread::sleep_for(std::chrono::microseconds(paceMicros));
            }
        });
    }
    for (auto& logger : loggers) logger.join();
    if (marker) tools::EngineDriver::logNumbered(tools::EngineDriver::kMarkerEventName, *marker);
    const int64_t logged = count + (marker ? 1 : 0);
    if (!openLink.empty()) {
        auto queueFree = std::make_shared<dispatch::TimedSemaphore>();
        if (openLinkBehindWork) DEDIzurarove::dispatchAsyncOnSerialQueue([queueFree] { queueFree->wait(30); });
        DEDIzurarove::handleOpenURL(openLink);
        if (openLinkBehindWork) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            queueFree->signal();
        }
        report(kLinkOpened, 1);
    }
    if (trigger) {
        // Once the events logged before it are handled, a property set right
        // after the configuration is stored too: the engine stored it before
        // it committed them.
        const auto handledBy = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (handled < logged && std::chrono::steady_clock::now() < handledBy)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        tools::EngineDriver::logNumbered(tools::EngineDriver::kTriggerEventName, conditional.value_or(0));
    }
    report(kAllLogged, count);

    if (endOnSignal) {
        int signal = 0;
        while (sigwait(&endSignals, &signal) != 0) continue;
        // Held past any deadline of the end; never let go before it.
        if (holdWorkerAtEnd && !tools::EngineDriver::holdWorker(30)) {
            std::fprintf(stderr, "event_driver: the engine's worker could not be held\n");
            return 7;
        }
        for (int64_t n = first + count; n < first + count + logAtEnd; ++n)
            tools::EngineDriver::logNumbered(tools::EngineDriver::kNumberedEventName, n);
        return endAsTheApplicationOnSignal(signal, [logged = logged + logAtEnd] { return handled >= logged; });
    }

    std::string line;
    while (std::getline(std::cin, line) && line != "exit") continue;

    // A public call reaches the worker queue later: until every logged event
    // is handled (written), the worker may answer that nothing waits while
    // the last ones are still on their way. The deadline only catches a hang:
    // a crowded core stretches this wait many times over.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (handled < logged && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The last upload's answer reaches the worker queue from the network's
    // thread and nothing tells when its bundles are deleted, so ask the worker
    // queue until no event waits any more.
    bool drained = false;
    while (!drained && std::chrono::steady_clock::now() < deadline) {
        drained = tools::EngineDriver::hasDataToUpload(5) == false;
        if (!drained) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    report(kStopping, drained ? 1 : 0);
    return endRun(30, drained ? 0 : 3);
}
