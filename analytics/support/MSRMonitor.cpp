#include "analytics/support/MSRMonitor.h"

#include <mutex>

#include "platform/foundation/ProcessInfo.h"

#include "analytics/support/MSRASLLogger.h"
#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRMemoryPreferenceStore.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/foundation/Text.h"
#include "platform/security/Random.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace {

foundation::SharedSlot<MSRMonitor>& sharedSlot() {
    static foundation::SharedSlot<MSRMonitor> slot;
    return slot;
}

// "p...q" of the decade that holds a magnitude, computed in unsigned
// arithmetic so that every signed 64-bit value has a range (the largest decade,
// 10^18 to 10^19 - 1, does not fit a signed 64-bit integer).
std::string encodedDecade(bool negative, uint64_t magnitude) {
    uint64_t power = 1;
    while (magnitude / power >= 10) power *= 10;
    const uint64_t upper = power * 10 - 1;  // at most 10^19 - 1 < 2^64
    if (negative) return "-" + std::to_string(upper) + "...-" + std::to_string(power);
    return std::to_string(power) + "..." + std::to_string(upper);
}

std::string encodedInteger(int64_t value) {
    const bool negative = value < 0;
    // The magnitude of INT64_MIN is 2^63, which only the unsigned type holds.
    const uint64_t magnitude =
        negative ? static_cast<uint64_t>(-(value + 1)) + 1 : static_cast<uint64_t>(value);
    if (magnitude <= 99) return std::to_string(value);
    return encodedDecade(negative, magnitude);
}

// Marker of a number that has no integer reading (not-a-number, infinities).
constexpr const char* kNonFiniteMarker = "nan";

std::string encodedDouble(double value) {
    if (!std::isfinite(value)) return kNonFiniteMarker;
    // Reals beyond the integer range read as its nearest end; others truncate
    // toward zero as the integer reading of a number does.
    if (value >= 9223372036854775807.0) return encodedInteger(INT64_MAX);
    if (value <= -9223372036854775808.0) return encodedInteger(INT64_MIN);
    return encodedInteger(static_cast<int64_t>(value));
}

bool containsMSR(const std::string& symbol) {
    for (size_t i = 0; i + 3 <= symbol.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(symbol[i])) == 'M' &&
            std::toupper(static_cast<unsigned char>(symbol[i + 1])) == 'S' &&
            std::toupper(static_cast<unsigned char>(symbol[i + 2])) == 'R') {
            return true;
        }
    }
    return false;
}

}  // namespace

// ---- creation ---------------------------------------------------------------

MSRMonitor::MSRMonitor(int64_t logLevel, std::shared_ptr<MSRLogging> logger,
                       int64_t libraryVersion, Environment environment)
    : logLevel_(logLevel),
      logger_(std::move(logger)),
      monitorQueue_(environment.queue ? std::move(environment.queue)
                                      : dispatch::SerialQueue::create("MSRMonitorQueue")),
      libraryVersion_(libraryVersion),
      appPreferences_(environment.appPreferences
                          ? std::move(environment.appPreferences)
                          : std::make_shared<MSRMemoryPreferenceStore>()),
      monitorUserDefaults_(environment.monitorSuite ? std::move(environment.monitorSuite)
                                                    : std::make_shared<MSRMemoryPreferenceStore>()),
      console_(environment.console ? std::move(environment.console)
                                   : MSRConsoleLogger::sharedPointer()),
      launchArguments_(std::move(environment.launchArguments)),
      isAppStoreBuild_(environment.isAppStoreBuild),
      hasDEDConfigurationClass_(environment.hasDEDConfigurationClass),
      randomUniform_(environment.randomUniform ? std::move(environment.randomUniform)
                                               : security::randomUniform) {}

MSRMonitor::~MSRMonitor() { dispatch::removeQueuesEndHandler(queuesEndHandler_); }

std::shared_ptr<MSRMonitor> MSRMonitor::initWithLibraryVersion(int64_t libraryVersion,
                                                               Environment environment) {
    auto logger = std::make_shared<MSRASLLogger>(environment.console);
    return initWithLogLevel(6, std::move(logger), libraryVersion,
                            std::move(environment));
}

std::shared_ptr<MSRMonitor> MSRMonitor::initWithLogLevel(int64_t logLevel,
                                                         std::shared_ptr<MSRLogging> logger,
                                                         int64_t libraryVersion,
                                                         Environment environment) {
    std::shared_ptr<MSRMonitor> monitor(
        new MSRMonitor(logLevel, std::move(logger), libraryVersion, std::move(environment)));
    monitor->start();
    return monitor;
}

namespace {

struct EnvironmentProvider {
    std::mutex mutex;
    std::function<MSRMonitorEnvironment()> provider;
};

EnvironmentProvider& environmentProvider() {
    static EnvironmentProvider instance;
    return instance;
}

}  // namespace

void MSRMonitor::setProductionEnvironmentProvider(std::function<Environment()> provider) {
    std::lock_guard lock(environmentProvider().mutex);
    environmentProvider().provider = std::move(provider);
}

MSRMonitor::Environment MSRMonitor::productionEnvironment() {
    std::function<Environment()> provider;
    {
        std::lock_guard lock(environmentProvider().mutex);
        provider = environmentProvider().provider;
    }
    Environment environment = provider ? provider() : Environment{};
    environment.launchArguments = foundation::ProcessInfo::arguments();
    return environment;
}

std::shared_ptr<MSRMonitor> MSRMonitor::shared() {
    return sharedSlot().getOrMake([] { return initWithLibraryVersion(kMSRLibraryVersion, productionEnvironment()); });
}

void MSRMonitor::setShared(std::shared_ptr<MSRMonitor> monitor) {
    sharedSlot().set(std::move(monitor));
}

bool MSRMonitor::hasArgument(std::initializer_list<const char*> names) const {
    for (const char* name : names) {
        if (std::find(launchArguments_.begin(), launchArguments_.end(), name) !=
            launchArguments_.end()) {
            return true;
        }
    }
    return false;
}

void MSRMonitor::start() {
    std::weak_ptr<MSRMonitor> weak = weak_from_this();
    monitorQueue_->async([weak] {
        if (auto self = weak.lock()) self->migrateAndLoad();
    });
    // The end drops the delayed save: what waits for it is written first.
    queuesEndHandler_ = dispatch::addQueuesEndHandler([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->monitorQueue_->async([weak] {
            if (auto monitor = weak.lock()) {
                monitor->saveAtOnce_ = true;
                monitor->savePendingMonitoringData();
            }
        });
    });
    // An App Store build ignores launch arguments and stored switches alike.
    if (isAppStoreBuild_) return;

    const bool storedDebug = appPreferences_->boolForKey(kDebugModeKey);
    const bool storedVerbose = appPreferences_->boolForKey(kVerboseLoggingKey);
    deferToDEDLogger_ =
        hasArgument({"-DEDDebugDisabled", "-DEDDebugEnabled"}) && hasDEDConfigurationClass_;

    if (hasArgument({"-noMSRAnalyticsDebugEnabled", "-noDEDIzuraroveDebugEnabled",
                     "-DEDDebugDisabled"})) {
        setDebugModeEnabled(false);
    } else if (storedDebug) {
        setDebugModeEnabled(true);
    } else if (hasArgument({"-MSRAnalyticsDebugEnabled", "-DEDIzuraroveDebugEnabled",
                            "-DEDDebugEnabled"})) {
        setDebugModeEnabled(true);
    }

    if (hasArgument({"-MSRAnalyticsVerboseLoggingDisabled",
                     "-DEDIzuraroveVerboseLoggingDisabled"})) {
        setVerboseLoggingEnabled(false);
    } else if (storedVerbose) {
        setVerboseLoggingEnabled(true);
    } else if (hasArgument({"-MSRAnalyticsVerboseLoggingEnabled",
                            "-DEDIzuraroveVerboseLoggingEnabled"})) {
        setVerboseLoggingEnabled(true);
    }
}

// ---- switches ---------------------------------------------------------------

// What both switches do before they report: the nominal level, the console's
// level (unless the host's switches decide it) and the remembered flag.
void MSRMonitor::applySwitch(int64_t level, const char* storedKey, bool on) {
    logLevel_.store(level);
    if (!deferToDEDLogger_) console_->setLoggerLevel(MSRASLLogger::ZULLoggerLevelFromLogLevel(level));
    if (on) {
        appPreferences_->setObject(true, storedKey);
    } else {
        appPreferences_->removeObjectForKey(storedKey);
    }
}

// An App Store build never switches on.
void MSRMonitor::setDebugModeEnabled(bool enabled) {
    const bool on = enabled && !isAppStoreBuild_;
    applySwitch(on ? 7 : 6, kDebugModeKey, on);
    logWithLevel(7, on ? 24000 : 24001, on ? "Debug mode is on" : "Debug mode is off");
    debugModeEnabled_.store(on);
}

void MSRMonitor::setVerboseLoggingEnabled(bool enabled) {
    const bool on = enabled && !isAppStoreBuild_;
    applySwitch(on ? 8 : (debugModeEnabled_.load() ? 7 : 6), kVerboseLoggingKey, on);
    // Logged before the switch changes, so the line of switching on is held
    // back by the old (off) state.
    logWithLevel(8, on ? 24003 : 24004, on ? "Verbose logging is on" : "Verbose logging is off");
    verboseLoggingEnabled_.store(on);
}

std::string MSRMonitor::logTag() const {
    std::lock_guard lock(tagMutex_);
    return logTag_;
}

void MSRMonitor::setLogTag(std::string logTag) {
    std::lock_guard lock(tagMutex_);
    logTag_ = std::move(logTag);
}

// ---- logging ----------------------------------------------------------------

bool MSRMonitor::reachesConsole(int64_t logLevel) const {
    return console_->isLoggableLevel(MSRASLLogger::ZULLoggerLevelFromLogLevel(logLevel)) && isLoggableLevel(logLevel);
}

bool MSRMonitor::wouldLogWithLevel(int64_t logLevel) const {
    if (!reachesConsole(logLevel) && !isMonitorableLevel(logLevel)) return false;
    return logLevel < 8 || verboseLoggingEnabled_.load(std::memory_order_relaxed);
}

void MSRMonitor::logWithLevel(int64_t logLevel, int64_t messageCode, std::string_view message,
                              const std::vector<MSRLogContext>& contexts) {
    if (!wouldLogWithLevel(logLevel)) return;
    const bool loggable = reachesConsole(logLevel);
    const bool monitorable = isMonitorableLevel(logLevel);

    std::weak_ptr<MSRMonitor> weak = weak_from_this();
    if (loggable) {
        // A program's text could move the cursor or set the terminal's title.
        const std::string shown =
            messageCode == kProgramLogMessageCode ? foundation::printable(message) : std::string(message);
        std::string text = stringWithLogMessage(shown, logLevel, contexts, encodeContexts());
        // A console line holds nothing of the user's or the engine's: one
        // logged after the end of the queues (an upload answered late) goes
        // unsaid, without a word of work dropped.
        monitorQueue_->asyncUnlessEnded([weak, text = std::move(text), tag = logTag(), messageCode, logLevel] {
            if (auto self = weak.lock()) self->logger_->logMessage(text, tag, messageCode, logLevel);
        });
    }
    if (monitorable) {
        std::string encoded = encodedStringWithContextArray(contexts, false);
        std::string errorContexts = MSRMonitorContextsFromErrors(contexts);
        if (!errorContexts.empty()) encoded += "," + errorContexts;
        std::string key = monitoringDataKeyWithMessage(message, logLevel, libraryVersion_);
        monitorQueue_->async([weak, key = std::move(key), encoded = std::move(encoded)] {
            auto self = weak.lock();
            if (!self) return;
            self->monitoringSampledData_.insertOrUpdateSampledDataWithKey(
                key, encoded, dispatch::Clock::now(), self->randomUniform_);
            self->scheduleSave();
        });
    }
}

// ---- health data ------------------------------------------------------------

std::optional<std::string> MSRMonitor::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
    std::optional<std::string> result;
    monitorQueue_->sync([&] {
        result = monitoringSampledData_.monitoringDataForDispatchWithSamplePeriod(
            samplePeriod, lastSampledTimestamp, dispatch::Clock::now());
        if (result) saveMonitoringData();
    });
    return result;
}

void MSRMonitor::clearMonitoringData() {
    monitorQueue_->sync([&] {
        appPreferences_->removeObjectForKey(kDebugModeKey);
        appPreferences_->removeObjectForKey(kHealthMonitorKey);
        monitorUserDefaults_->removeObjectForKey(kHealthMonitorKey);
        loadMonitoringData();
        savePending_ = false;
    });
}

void MSRMonitor::synchronize() {
    monitorQueue_->sync([this] { savePendingMonitoringData(); });
}

// The first change after a save sets the next one off; later changes ride
// along with it.
void MSRMonitor::scheduleSave() {
    if (saveAtOnce_) {
        saveMonitoringData();
        return;
    }
    if (savePending_) return;
    savePending_ = true;
    std::weak_ptr<MSRMonitor> weak = weak_from_this();
    monitorQueue_->asyncAfter(kSaveInterval, [weak] {
        if (auto self = weak.lock()) self->savePendingMonitoringData();
    });
}

void MSRMonitor::savePendingMonitoringData() {
    if (savePending_) saveMonitoringData();
}

void MSRMonitor::saveMonitoringData() {
    savePending_ = false;
    auto data = monitoringSampledData_.sampledData();
    if (data) {
        monitorUserDefaults_->setObject(MSRPreferenceValue(std::move(*data)), kHealthMonitorKey);
    } else {
        monitorUserDefaults_->removeObjectForKey(kHealthMonitorKey);
    }
    monitorUserDefaults_->synchronize();
}

void MSRMonitor::loadMonitoringData() {
    monitoringSampledData_ =
        MSRMonitoringSampledData(monitorUserDefaults_->arrayForKey(kHealthMonitorKey));
}

// Older versions kept the health data in the application's preferences; it
// moves into the monitor's suite once, in two remembered steps so that an
// interrupted move resumes where it stopped.
void MSRMonitor::migrateAndLoad() {
    int64_t state = monitorUserDefaults_->integerForKey(kMigrationStateKey);
    if (state == 0) {
        auto old = appPreferences_->arrayForKey(kHealthMonitorKey);
        if (old && !monitorUserDefaults_->objectForKey(kHealthMonitorKey)) {
            monitorUserDefaults_->setObject(MSRPreferenceValue(std::move(*old)), kHealthMonitorKey);
        }
        monitorUserDefaults_->setInteger(1, kMigrationStateKey);
        monitorUserDefaults_->synchronize();
        state = 1;
    }
    if (state == 1) {
        appPreferences_->removeObjectForKey(kHealthMonitorKey);
        appPreferences_->synchronize();
        monitorUserDefaults_->setInteger(2, kMigrationStateKey);
        monitorUserDefaults_->synchronize();
    }
    loadMonitoringData();
}

// ---- class operations -------------------------------------------------------

bool MSRMonitor::isSilentLevel(int64_t logLevel) {
    if (logLevel < 0 || logLevel > 8) return true;
    return (0x24 >> logLevel) & 1;
}

bool MSRMonitor::isMonitorableLevel(int64_t logLevel) {
    if (logLevel < 0 || logLevel > 8) return true;
    return (0x36 >> logLevel) & 1;
}

std::optional<std::string> MSRMonitor::logLevelDescriptionFromLogLevel(int64_t logLevel) {
    if (logLevel >= 0 && logLevel <= 2) return "ERROR";
    if (logLevel >= 3 && logLevel <= 5) return "WARNING";
    if (logLevel == 6) return "NOTICE";
    if (logLevel == 7) return "DEBUG";
    return std::nullopt;
}

std::string MSRMonitor::encodedStringWithContextObject(const MSRLogContext& context) {
    if (context.isNull()) return "";
    if (context.text()) return "-";
    if (auto i = context.integer()) return encodedInteger(*i);
    if (auto d = context.floating()) return encodedDouble(*d);
    if (auto e = context.exception()) {
        auto symbol = lastMSRSymbolFromException(e);
        return symbol && !symbol->empty() ? *symbol : "-";
    }
    if (auto e = context.error()) return e->domain().empty() ? "-" : e->domain();
    return "?";
}

std::string MSRMonitor::encodedStringWithContextArray(const std::vector<MSRLogContext>& contexts,
                                                      bool insertSpaces) {
    std::string text;
    for (size_t i = 0; i < contexts.size(); ++i) {
        if (i > 0) text += insertSpaces ? ", " : ",";
        text += encodedStringWithContextObject(contexts[i]);
    }
    return text;
}

std::string MSRMonitor::stringWithLogMessage(std::string_view message, int64_t /*logLevel*/,
                                             const std::vector<MSRLogContext>& contexts,
                                             bool encodeContexts) {
    std::string text = message.empty() ? std::string("(Message was empty)") : std::string(message);
    if (contexts.empty()) return text;
    text += ": ";
    if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
    for (size_t i = 0; i < contexts.size(); ++i) {
        if (i > 0) text += ", ";
        const MSRLogContext& context = contexts[i];
        if (auto e = context.exception()) {
            auto symbol = lastMSRSymbolFromException(e);
            text += symbol ? *symbol + ": " + e->description() : e->description();
        } else if (context.isNull()) {
            text += "(nil)";
        } else {
            text += context.description();
        }
    }
    return text;
}

std::optional<std::string> MSRMonitor::lastMSRSymbolFromException(const MSRException* exception) {
    if (!exception) return std::nullopt;
    const auto& lines = exception->callStackSymbols();
    if (lines.size() < 3) return exception->name();
    for (size_t i = 2; i < lines.size(); ++i) {
        std::istringstream in(lines[i]);
        std::vector<std::string> pieces;
        for (std::string piece; in >> piece;) pieces.push_back(std::move(piece));
        if (pieces.size() < 5) continue;
        std::string symbol = pieces[4] == "+" ? pieces[3] : pieces[3] + " " + pieces[4];
        if (containsMSR(symbol)) return symbol;
    }
    return exception->name();
}

std::string MSRMonitor::monitoringDataKeyWithMessage(std::string_view message, int64_t logLevel,
                                                     int64_t libraryVersion) {
    char letter = '?';
    if (logLevel >= 0 && logLevel <= 2) letter = 'E';
    if (logLevel >= 3 && logLevel <= 5) letter = 'W';
    std::string key = "1";
    key += letter;
    key += "_" + std::to_string(libraryVersion) + ":";
    key += message;
    return key;
}
