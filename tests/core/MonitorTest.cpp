#include "MonitorHarness.h"

#include "analytics/core/support/MSRASLLogger.h"
#include "analytics/core/support/MSRError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(MonitorTest, LevelsReachConsoleAndHealthMonitorAsTheTableSays) {
    struct Case {
        int64_t level;
        int consoleLevel;
        bool verbose;
        bool line;
        bool counted;
    };
    const Case cases[] = {
        {0, 5, false, true, false},  {1, 5, false, true, true},  {2, 7, false, false, true},
        {3, 5, false, true, false},  {4, 5, false, true, true},  {5, 7, false, false, true},
        {6, 5, false, true, false},  {6, 4, false, false, false}, {7, 5, false, false, false},
        {7, 7, false, true, false},  {8, 7, false, false, false}, {8, 7, true, true, false},
        {9, 7, false, false, false}, {9, 7, true, false, true},  {-1, 7, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << c.level << " console " << c.consoleLevel
                                        << " verbose " << c.verbose);
        MonitorHarness h;
        if (c.verbose) h.monitor->setVerboseLoggingEnabled(true);
        h.console.setLoggerLevel(c.consoleLevel);
        h.takeLines();
        h.suite->removeObjectForKey(MSRMonitor::kHealthMonitorKey);

        h.monitor->logWithLevel(c.level, 123, "probe");
        EXPECT_EQ(h.takeLines().size(), c.line ? 1u : 0u);
        EXPECT_EQ(!h.sampledKey().empty(), c.counted);
    }
}

TEST(MonitorTest, ConsoleLinesAreFormattedExactly) {
    struct Case {
        std::string message;
        std::vector<MSRLogContext> contexts;
        bool encode;
        std::string tag;
        std::string line;
    };
    const MSRException exception(
        "NSInvalidArgumentException", "boom",
        {"0 CoreFoundation 0x1 __exceptionPreprocess + 1", "1 libobjc 0x2 objc_exception_throw + 2",
         "2 Calvaro 0x3 -[KalThing run] + 3", "3 Calvaro 0x4 -[MSRDatabase open:] + 4"});
    const Case cases[] = {
        {"Cannot start Measurement. App ID is empty.", {}, false, "",
         "<RovIdarurozaro>[I-MSR023170] Cannot start Measurement. App ID is empty."},
        {"", {}, false, "", "<RovIdarurozaro>[I-MSR023170] (Message was empty)"},
        {"Rate 100%d", {}, false, "", "<RovIdarurozaro>[I-MSR023170] Rate 100%d"},
        {"Values", {"abc", 42, nullptr, 1.5}, false, "",
         "<RovIdarurozaro>[I-MSR023170] Values: abc, 42, (nil), 1.5"},
        {"Values", {"abc", 42, nullptr, 12345}, true, "",
         "<RovIdarurozaro>[I-MSR023170] Values: -, 42, , 10000...99999"},
        {"Exception", {exception}, false, "",
         "<RovIdarurozaro>[I-MSR023170] Exception: -[MSRDatabase open:]: boom"},
        {"Error", {MSRError::msr_errorWithCode(2, "Database not open")}, false, "<MyTag>",
         "<MyTag>[I-MSR023170] Error: Error Domain=app.calvaro.analytics.ErrorDomain Code=2 "
         "\"Database not open\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        MonitorHarness h;
        h.monitor->setEncodeContexts(c.encode);
        if (!c.tag.empty()) h.monitor->setLogTag(c.tag);
        h.monitor->logWithLevel(1, 23170, c.message, c.contexts);
        EXPECT_EQ(h.takeLines(), std::vector<std::string>{c.line});
    }
    EXPECT_EQ(MSRASLLogger::messageCodeText(5), "I-MSR000005");
    EXPECT_EQ(MSRASLLogger::messageCodeText(1234567), "I-MSR1234567");
}

TEST(MonitorTest, LinesKeepTheOrderOfTheirReports) {
    MonitorHarness h;
    for (int i = 0; i < 5; ++i) h.monitor->logWithLevel(0, i, "line " + std::to_string(i));
    EXPECT_EQ(h.takeLines(), (std::vector<std::string>{
                                 "<RovIdarurozaro>[I-MSR000000] line 0", "<RovIdarurozaro>[I-MSR000001] line 1",
                                 "<RovIdarurozaro>[I-MSR000002] line 2", "<RovIdarurozaro>[I-MSR000003] line 3",
                                 "<RovIdarurozaro>[I-MSR000004] line 4"}));
}

TEST(MonitorTest, ContextsEncodeWithoutOverflowOverTheWholeNumberRange) {
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        MSRLogContext context;
        std::string encoded;
    };
    const Case cases[] = {
        {nullptr, ""},
        {"text", "-"},
        {0, "0"},
        {99, "99"},
        {-99, "-99"},
        {100, "100...999"},
        {-100, "-999...-100"},
        {999999999999999999LL, "100000000000000000...999999999999999999"},
        {1000000000000000000LL, "1000000000000000000...9999999999999999999"},
        {kMax, "1000000000000000000...9999999999999999999"},
        {kMin, "-9999999999999999999...-1000000000000000000"},
        {-1000000000000000000LL, "-9999999999999999999...-1000000000000000000"},
        {std::numeric_limits<uint64_t>::max(), "1000000000000000000...9999999999999999999"},
        {true, "1"},
        {3.9, "3"},
        {-123.7, "-999...-100"},
        {1e300, "1000000000000000000...9999999999999999999"},
        {-1e300, "-9999999999999999999...-1000000000000000000"},
        {nan, "nan"},
        {inf, "nan"},
        {-inf, "nan"},
        {MSRError("", 1), "-"},
        {MSRError::msr_errorWithCode(1, "x"), "app.calvaro.analytics.ErrorDomain"},
        {MSRException("Name", "why"), "Name"},
        {MSRLogContext::Object{"NSData", "<00>"}, "?"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MSRMonitor::encodedStringWithContextObject(c.context), c.encoded) << c.encoded;
    }
    EXPECT_EQ(MSRMonitor::encodedStringWithContextArray({"abc", 42, 1234, -5000, nullptr}, false),
              "-,42,1000...9999,-9999...-1000,");
    EXPECT_EQ(MSRMonitor::encodedStringWithContextArray({}, true), "");
}

TEST(MonitorTest, LastEngineSymbolIsFoundInTheCallStack) {
    struct Case {
        std::vector<std::string> stack;
        std::string symbol;
    };
    const Case cases[] = {
        {{}, "Name"},
        {{"0 a 0x1 f + 1", "1 a 0x2 g + 2"}, "Name"},
        {{"0 a 0x1 f + 1", "1 a 0x2 g + 2", "2 Calvaro 0x3 msrHelper + 3"}, "msrHelper"},
        {{"0 a 0x1 f + 1", "1 a 0x2 g + 2", "2 Calvaro 0x3 -[KalX y:] + 3",
          "3 Calvaro 0x4 +[MSRScheduler run:] + 4"},
         "+[MSRScheduler run:]"},
        {{"0 MSR 0x1 -[MSRA b] + 1", "1 MSR 0x2 -[MSRC d] + 2", "2 short line"}, "Name"},
    };
    for (const Case& c : cases) {
        MSRException exception("Name", "reason", c.stack);
        EXPECT_EQ(MSRMonitor::lastMSRSymbolFromException(&exception), c.symbol);
    }
    EXPECT_EQ(MSRMonitor::lastMSRSymbolFromException(nullptr), std::nullopt);
}

TEST(MonitorTest, HealthKeysNameLevelVersionAndMessage) {
    EXPECT_EQ(MSRMonitor::monitoringDataKeyWithMessage("Database not open", 1, 110100),
              "1E_110100:Database not open");
    EXPECT_EQ(MSRMonitor::monitoringDataKeyWithMessage("m", 5, 7), "1W_7:m");
    EXPECT_EQ(MSRMonitor::monitoringDataKeyWithMessage("m", 9, 7), "1?_7:m");
    EXPECT_EQ(MSRMonitor::logLevelDescriptionFromLogLevel(2), "ERROR");
    EXPECT_EQ(MSRMonitor::logLevelDescriptionFromLogLevel(4), "WARNING");
    EXPECT_EQ(MSRMonitor::logLevelDescriptionFromLogLevel(6), "NOTICE");
    EXPECT_EQ(MSRMonitor::logLevelDescriptionFromLogLevel(7), "DEBUG");
    EXPECT_EQ(MSRMonitor::logLevelDescriptionFromLogLevel(8), std::nullopt);
}

TEST(MonitorTest, ErrorMonitorContextsAreAppendedToTheHealthContext) {
    MonitorHarness h;
    h.monitor->logWithLevel(2, 34000, "Statement failed",
                            {MSRError::msr_errorWithCode(3, "failed", "A,NA"), 7});
    EXPECT_EQ(h.sampledKey(), "1E_110100:Statement failed");
    EXPECT_EQ(h.sampledContext(), "app.calvaro.analytics.ErrorDomain,7,A,NA");
}

TEST(MonitorTest, ReservoirCountsThePeriodAndDispatchesOnceItHasPassed) {
    std::vector<uint32_t> bounds;
    MSRMonitor::Environment environment;
    // Keep the second report only.
    environment.randomUniform = [&bounds](uint32_t bound) {
        bounds.push_back(bound);
        return bound == 2 ? 0u : 1u;
    };
    MonitorHarness h(environment);
    const double start = h.executor->clock().wallTime();
    h.monitor->logWithLevel(1, 1, "first", {"a"});
    h.executor->advanceBy(10);
    h.monitor->logWithLevel(4, 2, "second", {"b"});
    h.monitor->logWithLevel(5, 3, "third");
    h.settle();
    EXPECT_EQ(bounds, (std::vector<uint32_t>{2, 3}));

    EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
    h.executor->advanceBy(3600);
    EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0), "3:1W_110100:second:-");
    EXPECT_FALSE(h.suite->objectForKey(MSRMonitor::kHealthMonitorKey));

    // Nothing reported: "0:" only once a known dispatch lies a period back.
    EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
    EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(3600, start + 100), std::nullopt);
    EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(3600, start - 100), "0:");

    h.monitor->logWithLevel(2, 4, "again");
    h.executor->advanceBy(3601);
    EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0), "1:1E_110100:again");
}

TEST(MonitorTest, StartSwitchesFollowArgumentsAndStoredFlags) {
    struct Case {
        std::vector<std::string> arguments;
        bool storedDebug;
        bool storedVerbose;
        bool appStore;
        bool dedConfiguration;
        bool debug;
        bool verbose;
        int64_t logLevel;
        int consoleLevel;
    };
    const Case cases[] = {
        {{}, false, false, false, false, false, false, 6, 5},
        {{"-MSRAnalyticsDebugEnabled"}, false, false, false, false, true, false, 7, 7},
        {{"-DEDIzuraroveDebugEnabled", "-noDEDIzuraroveDebugEnabled"}, false, false, false, false,
         false, false, 6, 5},
        {{}, true, false, false, false, true, false, 7, 7},
        {{"-DEDDebugDisabled"}, true, false, false, false, false, false, 6, 5},
        {{"-DEDIzuraroveVerboseLoggingEnabled"}, false, false, false, false, false, true, 8, 7},
        {{"-MSRAnalyticsVerboseLoggingDisabled"}, false, true, false, false, false, false, 6, 5},
        {{"-DEDDebugEnabled", "-DEDIzuraroveVerboseLoggingEnabled"}, false, false, true, false, false,
         false, 6, 5},
        // The host's own switches decide the console level.
        {{"-DEDDebugEnabled"}, false, false, false, true, true, false, 7, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        MSRMonitor::Environment environment;
        environment.launchArguments = c.arguments;
        environment.isAppStoreBuild = c.appStore;
        environment.hasDEDConfigurationClass = c.dedConfiguration;
        auto app = std::make_shared<MSRMemoryPreferenceStore>();
        if (c.storedDebug) app->setObject(true, MSRMonitor::kDebugModeKey);
        if (c.storedVerbose) app->setObject(true, MSRMonitor::kVerboseLoggingKey);
        environment.appPreferences = app;
        MonitorHarness h(environment);
        EXPECT_EQ(h.monitor->isDebugModeEnabled(), c.debug);
        EXPECT_EQ(h.monitor->isVerboseLoggingEnabled(), c.verbose);
        EXPECT_EQ(h.monitor->logLevel(), c.logLevel);
        EXPECT_EQ(h.console.loggerLevel(), c.consoleLevel);
        EXPECT_EQ(app->boolForKey(MSRMonitor::kDebugModeKey), c.debug);
        EXPECT_EQ(app->boolForKey(MSRMonitor::kVerboseLoggingKey), c.verbose);
    }
}

TEST(MonitorTest, SwitchLinesAreFilteredByTheStateBeforeTheSwitch) {
    MonitorHarness h;
    h.monitor->setDebugModeEnabled(true);
    h.monitor->setVerboseLoggingEnabled(true);
    h.monitor->setVerboseLoggingEnabled(false);
    EXPECT_EQ(h.takeLines(), (std::vector<std::string>{
                                 "<RovIdarurozaro>[I-MSR024000] Debug mode is on",
                                 "<RovIdarurozaro>[I-MSR024004] Verbose logging is off"}));
    EXPECT_EQ(h.monitor->logLevel(), 7);
    EXPECT_EQ(h.console.loggerLevel(), 7);
}

TEST(MonitorTest, HealthDataMovesFromApplicationPreferencesOnce) {
    const MSRPreferenceValue::Array stored{"ctx", int64_t{4}, "1E_110100:old",
                                           MSRPreferenceDate{1000}};
    struct Case {
        std::optional<MSRPreferenceValue> inApp;
        std::optional<MSRPreferenceValue> inSuite;
        int64_t state;
        std::string kept;
    };
    const Case cases[] = {
        {stored, std::nullopt, 0, "1E_110100:old"},
        {stored, MSRPreferenceValue::Array{"c", int64_t{1}, "1W_1:suite", MSRPreferenceDate{5}}, 0,
         "1W_1:suite"},
        {stored, std::nullopt, 1, ""},
        {MSRPreferenceValue::Array{"c", "not a number", "k", MSRPreferenceDate{5}}, std::nullopt, 0,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        MSRMonitor::Environment environment;
        auto app = std::make_shared<MSRMemoryPreferenceStore>();
        auto suite = std::make_shared<MSRMemoryPreferenceStore>();
        app->setObject(c.inApp, MSRMonitor::kHealthMonitorKey);
        suite->setObject(c.inSuite, MSRMonitor::kHealthMonitorKey);
        suite->setInteger(c.state, MSRMonitor::kMigrationStateKey);
        environment.appPreferences = app;
        environment.monitorSuite = suite;
        MonitorHarness h(environment);
        EXPECT_FALSE(app->objectForKey(MSRMonitor::kHealthMonitorKey));
        EXPECT_EQ(suite->integerForKey(MSRMonitor::kMigrationStateKey), 2);
        h.executor->advanceBy(86400 * 365.0 * 60);
        auto sample = h.monitor->monitoringDataForDispatchWithSamplePeriod(60, 0);
        if (c.kept.empty()) {
            EXPECT_EQ(sample, std::nullopt);
        } else {
            ASSERT_TRUE(sample);
            EXPECT_NE(sample->find(c.kept), std::string::npos) << *sample;
        }
    }
}

TEST(MonitorTest, ClearingWipesDebugFlagAndHealthData) {
    MonitorHarness h;
    h.monitor->setDebugModeEnabled(true);
    h.monitor->logWithLevel(1, 1, "counted");
    EXPECT_FALSE(h.sampledKey().empty());
    h.monitor->clearMonitoringData();
    EXPECT_FALSE(h.app->objectForKey(MSRMonitor::kDebugModeKey));
    EXPECT_FALSE(h.suite->objectForKey(MSRMonitor::kHealthMonitorKey));
    EXPECT_TRUE(h.monitor->isDebugModeEnabled());
    h.executor->advanceBy(1e6);
    EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(1, 0), std::nullopt);
}

TEST(MonitorTest, QueuedReportsOfAGoneMonitorAreSkipped) {
    MonitorHarness h;
    h.monitor->logWithLevel(1, 1, "late");
    MSRMonitor::setShared(nullptr);
    h.monitor.reset();
    EXPECT_TRUE(h.takeLines().empty());
}

}  // namespace
