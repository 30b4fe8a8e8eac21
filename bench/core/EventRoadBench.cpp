// Events per second from the public call to a committed row: the real engine
// in a temporary data root (worker threads, SQLite file), started through the
// public interface. An event counts once the engine has told its listeners,
// which it does only after the commit that holds the event's writes.
//
// No measurement endpoint is configured, so nothing is uploaded and every
// event stays in the database. The engine drops public events beyond 50,000 a
// day, so the whole program logs fewer than that into its one data root.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "tools/eventdriver/EngineDriver.h"

namespace {

constexpr int64_t kEventsPerIteration = 2000;
constexpr int kIterations = 10;

struct Engine {
    Engine()
        : root(std::filesystem::temp_directory_path() / ("calvaro-event-road-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(root);
        tools::EngineDriverOptions options;
        options.home = root;
        driver = std::make_unique<tools::EngineDriver>(options);
        driver->watchNumberedEvents([this](const std::string&, int64_t) {
            std::lock_guard lock(mutex);
            ++handled;
            changed.notify_all();
        });
        driver->start();
        // The start itself (database, identity, first-open checks) is not measured.
        logAndWait(1);
    }

    // Logs `count` numbered events and waits until the engine has handled them.
    bool logAndWait(int64_t count) {
        const int64_t target = handledNow() + count;
        for (int64_t i = 0; i < count; ++i)
            tools::EngineDriver::logNumbered(tools::EngineDriver::kNumberedEventName, next++);
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(120), [&] { return handled >= target; });
    }
    int64_t handledNow() {
        std::lock_guard lock(mutex);
        return handled;
    }

    std::filesystem::path root;
    std::unique_ptr<tools::EngineDriver> driver;
    std::mutex mutex;
    std::condition_variable changed;
    int64_t handled = 0;
    int64_t next = 1;
};

// The engine's threads live until the process ends, so the engine is never
// destroyed; its data root is removed at exit, when they are idle.
struct RootRemover {
    std::filesystem::path root;
    ~RootRemover() {
        std::error_code ignored;
        if (!root.empty()) std::filesystem::remove_all(root, ignored);
    }
};
RootRemover remover;

Engine& engine() {
    static Engine* shared = [] {
        auto* made = new Engine();
        remover.root = made->root;
        return made;
    }();
    return *shared;
}

void BM_PublicCallToCommittedRow(benchmark::State& state) {
    Engine& e = engine();
    for (auto _ : state) {
        if (!e.logAndWait(kEventsPerIteration)) {
            state.SkipWithError("the engine did not handle the events within two minutes");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kEventsPerIteration);
}
BENCHMARK(BM_PublicCallToCommittedRow)->Iterations(kIterations)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
