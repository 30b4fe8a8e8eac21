#include "MonitorHarness.h"

#include "analytics/model/MSRPEventEditing.h"
#include "analytics/support/MSRError.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using Lines = std::vector<std::string>;

TEST(MonitorTest, LevelsReachConsoleAndHealthMonitorAsTheTableSays) {
    struct Case {
        int64_t level;
        int consoleLevel;
        bool verbose, line, counted;
    };
    // clang-format off
    const Case cases[] = {
        {0, 5, false, true, false},  {1, 5, false, true, true},   {2, 7, false, false, true},
        {3, 5, false, true, false},  {4, 5, false, true, true},   {5, 7, false, false, true},
        {6, 5, false, true, false},  {6, 4, false, false, false}, {7, 5, false, false, false},
        {7, 7, false, true, false},  {8, 7, false, false, false}, {8, 7, true, true, false},
        {9, 7, false, false, false}, {9, 7, true, false, true},   {-1, 7, false, false, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        MonitorHarness h;
        if (c.verbose) h.monitor->setVerboseLoggingEnabled(true);
        h.console->setLoggerLevel(c.consoleLevel);
        h.takeLines();
        h.suite->removeObjectForKey(MSRMonitor::kHealthMonitorKey);
        h.monitor->logWithLevel(c.level, 123, "probe");
        EXPECT_EQ(h.takeLines().size(), c.line ? 1u : 0u);
        EXPECT_EQ(!h.sampled().empty(), c.counted);
    }
}

TEST(MonitorTest, ConsoleLinesAreFormattedExactly) {
    struct Case {
        std::string message;
        std::vector<MSRLogContext> contexts;
        bool encode;
        std::string tag, line;
    };
    const std::string prefix = "<RovIdarurozaro>[I-MSR023170] ";
    // clang-format off
    const Case cases[] = {
        {"", {}, false, "", prefix + "(Message was empty)"},
        {"Rate 100%d", {}, false, "", prefix + "Rate 100%d"},
        {"Values", {"abc", 42, nullptr, 1.5}, false, "", prefix + "Values: abc, 42, (nil), 1.5"},
        {"Values", {"abc", 42, nullptr, 12345}, true, "", prefix + "Values: -, 42, , 10000...99999"},
        {"Tagged", {}, false, "<MyTag>", "<MyTag>[I-MSR023170] Tagged"},
        // The engine's own text prints as written, over lines if need be;
        // what a program logs or a link carries never drives the terminal.
        {"Logged\n{\n}", {std::string("a\nb\x9b" "\xc2\x9b" "1m")}, false, "",
         prefix + "Logged\n{\n}: a\\nb\\x9b\\u{9b}1m"},
        {"Failed", {MSRError::msr_errorWithCode(3, "bad \x1b[2J")}, false, "",
         prefix + "Failed: Error Domain=app.calvaro.analytics.ErrorDomain Code=3 \"bad \\x1b[2J\""},
        {"Event", {MSRFormattedText{"{\n    note = a\\x1b;\n}"}}, false, "",
         prefix + "Event: {\n    note = a\\x1b;\n}"},
        {"Tag", {}, false, "<T\x1b[31m>", "<T\\x1b[31m>[I-MSR023170] Tag"},
    };
    // clang-format on
    for (const Case& c : cases) {
        MonitorHarness h;
        h.monitor->setEncodeContexts(c.encode);
        if (!c.tag.empty()) h.monitor->setLogTag(c.tag);
        h.monitor->logWithLevel(1, 23170, c.message, c.contexts);
        EXPECT_EQ(h.takeLines(), Lines{c.line});
    }
    // A program's line is the server's text, its message included.
    MonitorHarness h;
    MSRPicoLogger().logWithLevel(6, "Log\x1b]0;owned\x07\nnext", {"a\nb"}, false, false);
    EXPECT_EQ(h.takeLines(), Lines{MonitorHarness::line(24005, "Log\\x1b]0;owned\\x07\\nnext: a\\nb")});
}

TEST(MonitorTest, ContextsEncodeWithoutOverflowOverTheWholeNumberRange) {
    const std::string top = "1000000000000000000...9999999999999999999";
    const std::string bottom = "-9999999999999999999...-1000000000000000000";
    // clang-format off
    const std::pair<MSRLogContext, std::string> cases[] = {
        {nullptr, ""},
        {"text", "-"},
        {100, "100...999"},
        {-100, "-999...-100"},
        {999999999999999999LL, "100000000000000000...999999999999999999"},
        {1000000000000000000LL, top},
        {std::numeric_limits<int64_t>::max(), top},
        {std::numeric_limits<int64_t>::min(), bottom},
        {std::numeric_limits<uint64_t>::max(), top},
        {3.9, "3"},
        {1e300, top},
        {-1e300, bottom},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
        {MSRError("", 1), "-"},
        {MSRError::msr_errorWithCode(1, "x"), "app.calvaro.analytics.ErrorDomain"},
        // An exception: its last engine symbol (any letter case), else its name.
        {MSRException("Name", "why"), "Name"},
        {MSRException("Name", "why", {"0 a 0x1 f + 1", "1 MSR 0x2 -[MSRC d] + 2", "2 short line"}), "Name"},
        {MSRException("Name", "why", {"0 a 0x1 f + 1", "1 a 0x2 g + 2", "2 Calvaro 0x3 msrHelper + 3"}), "msrHelper"},
        {MSRLogContext::Object{"NSData", "<00>"}, "?"},
    };
    // clang-format on
    for (const auto& [context, encoded] : cases) {
        EXPECT_EQ(MSRMonitor::encodedStringWithContextObject(context), encoded) << encoded;
    }
    EXPECT_EQ(MSRMonitor::encodedStringWithContextArray({"abc", 42, 1234, -5000, nullptr}, false),
              "-,42,1000...9999,-9999...-1000,");
}

TEST(MonitorTest, ErrorMonitorContextsAreAppendedToTheHealthContext) {
    MonitorHarness h;
    h.monitor->logWithLevel(2, 34000, "Statement failed",
                            {MSRError::msr_errorWithCode(3, "failed", "A,NA"), 7});
    EXPECT_EQ(h.sampled(), "1E_110100:Statement failed");
    EXPECT_EQ(h.sampled(0), "app.calvaro.analytics.ErrorDomain,7,A,NA");
}

// What a program logs is the server's text: the health data keeps and uploads
// it byte for byte, and only the console line shows it escaped.
TEST(MonitorTest, AProgramsLogTextIsStoredAsWrittenAndEscapedOnTheConsole) {
    const std::string written = "C:\\dir\x01 \x1b[2J done";
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "monitored");
        MonitorHarness h;
        MSRPicoLogger().logWithLevel(6, written, {}, silent, true);
        EXPECT_EQ(h.takeLines(), silent ? Lines{}
                                        : Lines{MonitorHarness::line(24005, "C:\\\\dir\\x01 \\x1b[2J done")});
        EXPECT_EQ(h.sampled(), "1E_110100:" + written);
    }
}

TEST(MonitorTest, ReservoirCountsThePeriodAndDispatchesOnceItHasPassed) {
    std::vector<uint32_t> bounds;
    MSRMonitor::Environment environment;
    environment.randomUniform = [&bounds](uint32_t bound) {  // keeps the second report only
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

    h.monitor->logWithLevel(-1, 4, "again");
    h.executor->advanceBy(3601);
    EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0), "1:1?_110100:again");
}

TEST(MonitorTest, StartSwitchesFollowArgumentsAndStoredFlags) {
    struct Case {
        std::vector<std::string> arguments;
        bool storedDebug, storedVerbose, appStore, dedConfiguration, debug, verbose;
        int64_t logLevel;
        int consoleLevel;
    };
    // clang-format off
    const Case cases[] = {
        {{}, false, false, false, false, false, false, 6, 5},
        {{"-MSRAnalyticsDebugEnabled"}, false, false, false, false, true, false, 7, 7},
        {{"-DEDIzuraroveDebugEnabled", "-noDEDIzuraroveDebugEnabled"}, false, false, false, false, false, false, 6, 5},
        {{}, true, false, false, false, true, false, 7, 7},
        {{"-DEDDebugDisabled"}, true, false, false, false, false, false, 6, 5},
        {{"-DEDIzuraroveVerboseLoggingEnabled"}, false, false, false, false, false, true, 8, 7},
        {{"-MSRAnalyticsVerboseLoggingDisabled"}, false, true, false, false, false, false, 6, 5},
        {{"-DEDDebugEnabled", "-DEDIzuraroveVerboseLoggingEnabled"}, false, false, true, false, false, false, 6, 5},
        // The host's own switches decide the console level.
        {{"-DEDDebugEnabled"}, false, false, false, true, true, false, 7, 5},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        MSRMonitor::Environment environment;
        environment.launchArguments = c.arguments;
        environment.isAppStoreBuild = c.appStore;
        environment.hasDEDConfigurationClass = c.dedConfiguration;
        auto app = environment.appPreferences = std::make_shared<MSRMemoryPreferenceStore>();
        if (c.storedDebug) app->setObject(true, MSRMonitor::kDebugModeKey);
        if (c.storedVerbose) app->setObject(true, MSRMonitor::kVerboseLoggingKey);
        MonitorHarness h(environment);
        // Switches, levels and the stored flags, which follow the switches.
        EXPECT_EQ(std::tuple(h.monitor->isDebugModeEnabled(), h.monitor->isVerboseLoggingEnabled(),
                             h.monitor->logLevel(), h.console->loggerLevel(),
                             app->boolForKey(MSRMonitor::kDebugModeKey),
                             app->boolForKey(MSRMonitor::kVerboseLoggingKey)),
                  std::tuple(c.debug, c.verbose, c.logLevel, c.consoleLevel, c.debug, c.verbose));
    }
}

TEST(MonitorTest, SwitchLinesAreFilteredByTheStateBeforeTheSwitch) {
    MonitorHarness h;
    h.monitor->setDebugModeEnabled(true);
    h.monitor->setVerboseLoggingEnabled(true);
    h.monitor->setVerboseLoggingEnabled(false);
    EXPECT_EQ(h.takeLines(), (Lines{MonitorHarness::line(24000, "Debug mode is on"),
                                    MonitorHarness::line(24004, "Verbose logging is off")}));
}

TEST(MonitorTest, HealthDataMovesFromApplicationPreferencesOnce) {
    const MSRPreferenceValue::Array stored{"ctx", int64_t{4}, "1E_110100:old", MSRPreferenceDate{1000}};
    struct Case {
        std::optional<MSRPreferenceValue> inApp, inSuite;
        int64_t state;
        std::optional<std::string> sample;
    };
    // clang-format off
    const Case cases[] = {
        {stored, std::nullopt, 0, "4:1E_110100:old:ctx"},
        {stored, MSRPreferenceValue::Array{"c", int64_t{1}, "1W_1:suite", MSRPreferenceDate{5}}, 0, "1:1W_1:suite:c"},
        {stored, std::nullopt, 1, std::nullopt},
        {MSRPreferenceValue::Array{"c", "not a number", "k", MSRPreferenceDate{5}}, std::nullopt, 0, std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        MSRMonitor::Environment environment;
        environment.appPreferences = std::make_shared<MSRMemoryPreferenceStore>();
        environment.monitorSuite = std::make_shared<MSRMemoryPreferenceStore>();
        environment.appPreferences->setObject(c.inApp, MSRMonitor::kHealthMonitorKey);
        environment.monitorSuite->setObject(c.inSuite, MSRMonitor::kHealthMonitorKey);
        environment.monitorSuite->setInteger(c.state, MSRMonitor::kMigrationStateKey);
        MonitorHarness h(environment);
        EXPECT_FALSE(environment.appPreferences->objectForKey(MSRMonitor::kHealthMonitorKey));
        EXPECT_EQ(environment.monitorSuite->integerForKey(MSRMonitor::kMigrationStateKey), 2);
        h.executor->advanceBy(86400 * 365.0 * 60);
        EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(60, 0), c.sample);
    }
}

TEST(MonitorTest, ClearingWipesDebugFlagAndHealthData) {
    MonitorHarness h;
    h.monitor->setDebugModeEnabled(true);
    h.monitor->logWithLevel(1, 1, "counted");
    EXPECT_FALSE(h.sampled().empty());
    h.monitor->clearMonitoringData();
    EXPECT_FALSE(h.app->objectForKey(MSRMonitor::kDebugModeKey));
    EXPECT_FALSE(h.suite->objectForKey(MSRMonitor::kHealthMonitorKey));
    EXPECT_TRUE(h.monitor->isDebugModeEnabled());
    h.executor->advanceBy(1e6);
    EXPECT_EQ(h.monitor->monitoringDataForDispatchWithSamplePeriod(1, 0), std::nullopt);
}

// Reports may come by the hundred per event: the health data is written at
// most once per interval however many arrive, and the process's end writes
// what still waits, although it drops other delayed work.
TEST(MonitorTest, HealthDataIsWrittenOncePerIntervalAndAtTheEnd) {
    MonitorHarness h;
    const int started = h.suite->synchronizeCount();
    const int intervals = 4;
    for (int step = 0; step < intervals * 3; ++step) {
        for (int i = 0; i < 100; ++i) h.monitor->logWithLevel(5, 1, "burst");
        h.executor->advanceBy(MSRMonitor::kSaveInterval / 3);
    }
    const int written = h.suite->synchronizeCount() - started;
    EXPECT_GE(written, intervals - 1);
    EXPECT_LE(written, intervals);

    h.monitor->logWithLevel(5, 2, "last");
    h.settle();
    auto stored = [&] {
        auto array = h.suite->arrayForKey(MSRMonitor::kHealthMonitorKey);
        return array && array->size() == 4 ? *(*array)[2].get<std::string>() : "";
    };
    EXPECT_EQ(stored(), "1W_110100:burst");
    ASSERT_TRUE(dispatch::endQueues(MonitorHarness::kDrainSeconds));
    dispatch::reopenQueuesForTesting();
    EXPECT_EQ(stored(), "1W_110100:last");
}

// After the end of the queues (an upload answered late, with debug logging
// on) a console line holds nothing of the user's or the engine's: the end
// says nothing of it. A health report is the engine's data, and its loss is
// told.
TEST(MonitorTest, OnlyHealthDataLoggedAfterTheEndIsToldAsDroppedWork) {
    struct Case {
        int64_t level;
        bool told;
    };
    const Case cases[] = {{7, false}, {3, false}, {5, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        MonitorHarness h({}, false);
        h.console->setLoggerLevel(7);
        ASSERT_TRUE(dispatch::endQueues(MonitorHarness::kDrainSeconds));
        testing::internal::CaptureStderr();
        h.monitor->logWithLevel(c.level, 1, "after the end");
        const std::string said = testing::internal::GetCapturedStderr();
        dispatch::reopenQueuesForTesting();
        EXPECT_EQ(said.find("after the end of the queues was dropped") != std::string::npos, c.told) << said;
    }
}

TEST(MonitorTest, QueuedReportsOfAGoneMonitorAreSkipped) {
    MonitorHarness h;
    h.monitor->logWithLevel(1, 1, "late");
    MSRMonitor::setShared(nullptr);
    h.monitor.reset();
    EXPECT_TRUE(h.takeLines().empty());
}

}  // namespace
