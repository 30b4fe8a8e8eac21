#pragma once

#include "analytics/support/MSRConsoleLogger.h"
#include "analytics/support/MSRLogContext.h"
#include "analytics/support/MSRLogging.h"
#include "analytics/support/MSRMonitoringSampledData.h"
#include "analytics/support/MSRPreferenceStore.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dispatch {
class Queue;
}

// What the monitor learns from its surroundings. Every member left empty
// gets the production default.
struct MSRMonitorEnvironment {
    std::vector<std::string> launchArguments;
    bool isAppStoreBuild = false;
    // Whether the host's configuration class is present in the process.
    bool hasDEDConfigurationClass = false;
    // The application's own preferences (the shared user defaults).
    std::shared_ptr<MSRPreferenceStore> appPreferences;
    // The monitor's suite "<root>.monitor".
    std::shared_ptr<MSRPreferenceStore> monitorSuite;
    // The console whose level the switches set; the shared console if null.
    // Shared, because lines reach it from the monitor queue for as long as
    // the monitor lives.
    std::shared_ptr<MSRConsoleLogger> console;
    // The monitor queue; a new serial queue "MSRMonitorQueue" if null.
    std::shared_ptr<dispatch::Queue> queue;
    // Uniform integers in [0, n) for the reservoir.
    MSRMonitoringSampledData::RandomUniform randomUniform;
};

// The single logger of the analytics engine. Every report carries a level
// (0 to 8), a message code unique across the engine and a message, with
// optional contexts. A report may become a console line (unless its level is
// silent or the console filters it) and, for monitorable levels, is counted by
// the health monitor, which keeps one sampled report per period for upload.
// The monitor also owns the debug-mode and verbose-logging switches.
//
// Logging costs the caller the text building only; the console write and the
// reservoir update run in call order on the monitor's own serial queue.
class MSRMonitor : public std::enable_shared_from_this<MSRMonitor> {
public:
    using Environment = MSRMonitorEnvironment;

    static constexpr const char* kDefaultLogTag = "<RovIdarurozaro>";
    // The code of what an event-editing program logs: its text is the
    // server's, kept as written in the health data and escaped on the console.
    static constexpr int64_t kProgramLogMessageCode = 24005;
    static constexpr const char* kDebugModeKey = "/zevure/measurement/debug_mode";
    static constexpr const char* kVerboseLoggingKey = "/zevure/measurement/verbose_logging";
    static constexpr const char* kHealthMonitorKey = "/zevure/measurement/health_monitor";
    static constexpr const char* kMigrationStateKey = "/zevure/measurement/monitor_migration_state";
    // Reports may come by the hundred per event, and each save writes the
    // suite's file: the health data is saved at most once in this many
    // seconds, and at the process's end.
    static constexpr double kSaveInterval = 3.0;

    // The monitor at the start level 6 with a console sink of its own.
    static std::shared_ptr<MSRMonitor> initWithLibraryVersion(int64_t libraryVersion,
                                                              Environment environment = {});
    static std::shared_ptr<MSRMonitor> initWithLogLevel(int64_t logLevel,
                                                        std::shared_ptr<MSRLogging> logger,
                                                        int64_t libraryVersion,
                                                        Environment environment = {});

    // The one monitor of the process, created on first use with the engine's
    // library version. The measurement engine and tests may install another.
    static std::shared_ptr<MSRMonitor> shared();
    static void setShared(std::shared_ptr<MSRMonitor> monitor);
    // What the one monitor is made with: the process's launch arguments, and
    // whatever `provider` adds (the preference stores, which live above this
    // layer; registered at the application's start). Kept across resets.
    static void setProductionEnvironmentProvider(std::function<Environment()> provider);
    static Environment productionEnvironment();

    ~MSRMonitor();
    MSRMonitor(const MSRMonitor&) = delete;
    MSRMonitor& operator=(const MSRMonitor&) = delete;

    // The one entry of every report. Callable from any thread.
    void logWithLevel(int64_t logLevel, int64_t messageCode, std::string_view message,
                      const std::vector<MSRLogContext>& contexts = {});

    void setDebugModeEnabled(bool enabled);
    void setVerboseLoggingEnabled(bool enabled);
    bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
    bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_.load(); }

    int64_t logLevel() const { return logLevel_.load(); }
    // Whether a line of this level would reach the console or the health
    // data: callers on hot paths skip building costly contexts otherwise.
    bool wouldLogWithLevel(int64_t logLevel) const;
    void setLogLevel(int64_t logLevel) { logLevel_.store(logLevel); }
    bool encodeContexts() const { return encodeContexts_.load(); }
    void setEncodeContexts(bool encode) { encodeContexts_.store(encode); }
    std::string logTag() const;
    void setLogTag(std::string logTag);
    int64_t libraryVersion() const { return libraryVersion_; }
    bool deferToDEDLogger() const { return deferToDEDLogger_; }

    // The health sample to upload, or nothing (see MSRMonitoringSampledData).
    // Runs on the monitor queue and waits for it, so it sees every report
    // logged before it. Must not be called from the monitor queue.
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(
        double samplePeriod, double lastSampledTimestamp);
    // Wipes the stored debug flag and the health data (on reset).
    void clearMonitoringData();
    // Saves the health data now when a change waits for its save, and waits
    // for the monitor queue. Must not be called from the monitor queue.
    void synchronize();

    // Class operations.
    static bool isSilentLevel(int64_t logLevel);
    static bool isMonitorableLevel(int64_t logLevel);
    static bool isLoggableLevel(int64_t logLevel) { return !isSilentLevel(logLevel); }
    static std::optional<std::string> logLevelDescriptionFromLogLevel(int64_t logLevel);
    static std::string encodedStringWithContextObject(const MSRLogContext& context);
    static std::string encodedStringWithContextArray(const std::vector<MSRLogContext>& contexts,
                                                     bool insertSpaces);
    static std::string stringWithLogMessage(std::string_view message, int64_t logLevel,
                                            const std::vector<MSRLogContext>& contexts,
                                            bool encodeContexts);
    static std::optional<std::string> lastMSRSymbolFromException(const MSRException* exception);
    static std::string monitoringDataKeyWithMessage(std::string_view message, int64_t logLevel,
                                                    int64_t libraryVersion);

private:
    bool reachesConsole(int64_t logLevel) const;
    MSRMonitor(int64_t logLevel, std::shared_ptr<MSRLogging> logger, int64_t libraryVersion,
               Environment environment);

    void start();
    void applySwitch(int64_t level, const char* storedKey, bool on);
    void migrateAndLoad();
    void loadMonitoringData();
    void saveMonitoringData();
    void scheduleSave();
    void savePendingMonitoringData();
    bool hasArgument(std::initializer_list<const char*> names) const;

    std::atomic<int64_t> logLevel_;
    std::shared_ptr<MSRLogging> logger_;
    MSRMonitoringSampledData monitoringSampledData_;  // monitor queue only
    std::shared_ptr<dispatch::Queue> monitorQueue_;
    int64_t libraryVersion_;
    std::shared_ptr<MSRPreferenceStore> appPreferences_;
    std::shared_ptr<MSRPreferenceStore> monitorUserDefaults_;
    std::shared_ptr<MSRConsoleLogger> console_;
    bool deferToDEDLogger_ = false;
    std::atomic<bool> debugModeEnabled_{false};
    std::atomic<bool> verboseLoggingEnabled_{false};
    std::atomic<bool> encodeContexts_{false};
    mutable std::mutex tagMutex_;
    std::string logTag_ = kDefaultLogTag;
    std::vector<std::string> launchArguments_;
    bool isAppStoreBuild_;
    bool hasDEDConfigurationClass_;
    MSRMonitoringSampledData::RandomUniform randomUniform_;
    // Monitor queue only: a change waits for its save; once the process's end
    // has begun, every change is saved at once.
    bool savePending_ = false;
    bool saveAtOnce_ = false;
    uint64_t queuesEndHandler_ = 0;
};
