#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tools {

// How a process starts the real measurement engine.
struct EngineDriverOptions {
    std::filesystem::path home;  // the data root (its folders are created)
    std::string measurementURL;  // endpoint base, e.g. the collector's "http://127.0.0.1:<port>"
    std::string appID = "1:1000000000:ios:0e2e";
    // The engine's debug mode, switched on as a developer does it: with the
    // launch argument "-DEDIzuraroveDebugEnabled".
    bool debugMode = false;
    // The monitor's console lines are appended here; empty: discarded.
    std::filesystem::path consoleLog;
    // A product the store's catalog sells (0.99 USD); empty: none.
    std::string storeProduct;
    // The time guard of each run of a served program, in seconds; 0: the
    // application's (1 s). A test whose outcome must not hang on the
    // machine's speed sets its own.
    double programTimeLimitSeconds = 0;
    // The application's reporters (sessions, screens, search ads): the
    // engine begins sessions as the application's does. Off: none.
    bool sessions = false;
    // The engine's allowlist (the start option "safelisted_events"): only
    // these events are stored. Empty: none, as the application starts.
    std::vector<std::string> allowlist;
    // Runs once the engine's parts are registered and the catalog is
    // stocked, just before the host is configured (the engine's start).
    std::function<void()> beforeStart;
};

// Starts the measurement engine in one process the way the application does:
// the data root, the monitor, the measurement endpoint, then the host's
// configuration, which starts the engine through the public interface
// `DEDIzurarove`. Everything below is real: the worker threads, the SQLite
// file in the data root and the libcurl network component. One engine per
// process, so one driver per process.
class EngineDriver {
  public:
    static constexpr const char* kNumberedEventName = "e2e_event";
    static constexpr const char* kMarkerEventName = "e2e_marker";
    static constexpr const char* kNumberParameter = "n";

    explicit EngineDriver(EngineDriverOptions options);
    EngineDriver(const EngineDriver&) = delete;
    EngineDriver& operator=(const EngineDriver&) = delete;

    // Tells `handled` the number of each numbered event (or marker) that the
    // engine has handled; the engine tells its listeners only after the
    // event's write has finished. Call before start().
    void watchNumberedEvents(std::function<void(const std::string& name, int64_t number)> handled);
    // Nothing, or why the engine was not started (another process holds the
    // data root); nothing in the root is touched then.
    std::optional<std::string> start();

    // The public call the application makes, with a numbered parameter.
    static void logNumbered(const char* name, int64_t number);

    // What another framework of the host asks through the connector: the
    // conditional user property "cup_<number>" (origin "e2e"), which the
    // event kTriggerEventName activates and whose activation logs
    // kTriggeredEventName with n = number.
    static constexpr const char* kTriggerEventName = "e2e_trigger";
    static constexpr const char* kTriggeredEventName = "e2e_triggered";
    static void setConditionalProperty(int64_t number);

    // Whether stored events still wait for upload (raw or bundled), asked on
    // the engine's worker queue; nothing when the engine did not answer within
    // `timeoutSeconds`.
    static std::optional<bool> hasDataToUpload(double timeoutSeconds);

    // Waits until the engine has started, then holds its worker queue until
    // the answered call lets it go, or `boundSeconds` have passed: a worker
    // stuck in a long task, as the callers see it. Nothing when the engine did
    // not start or take the hold within the bound.
    static std::optional<std::function<void()>> holdWorker(double boundSeconds);

  private:
    EngineDriverOptions options_;
};

}  // namespace tools
