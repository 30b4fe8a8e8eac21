#include "ReportersHarness.h"

#include "analytics/reporters/MSRAdExposureReporter.h"
#include "analytics/reporters/MSRSessionReporter.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/ui/Application.h"

namespace {

class SessionTest : public ReportersTest {
  protected:
    SessionTest() {
        startReporters();
        sessions_ = MSRSessionReporter::currentOrMake();
    }
    void activate() { ui::Application::shared().becomeActive(); }
    void leave() { ui::Application::shared().enterBackground(); }
    // Foreground time that the engagement timer (on the wall clock) does not
    // see. What falls due meanwhile (the configuration's delayed writes) runs
    // before the next step, as it would on its own thread.
    void stayFor(double seconds) {
        clock().setUptime(clock().uptime() + seconds);
        settle();
    }
    void moveWallClock(double seconds) {
        clock().setWallTime(clock().wallTime() + seconds);
        settle();
    }
    // A new reporter on a configuration that has seen no session, the
    // application in the background, reporting switched on as the engine does.
    void restartSessions() {
        leave();
        auto config = MSRPersistedConfig::sharedInstance();
        config->setSessionNumber(0);
        config->setLastSessionActivityClockTime(0);
        sessions_ = MSRSessionReporter::initWithPersistedConfig(config);
        sessions_->setReportingEnabled(true);
        forgetEvents();
    }

    std::shared_ptr<MSRSessionReporter> sessions_;
};

TEST_F(SessionTest, SessionsStartAndEngagementIsMeasuredInVirtualTime) {
    struct Case {
        const char* what;
        std::function<void()> steps;
        size_t sessionStarts;
        std::vector<int64_t> engagement;  // "_et" of each "_e"
    };
    const std::vector<Case> cases = {
        {"two hours of foreground report one hour, the most one event carries",
         [this] {
             activate();
             stayFor(7200);
             leave();
         },
         1,
         {3'600'000}},
        {"a wall clock set back by more than the timeout ends the session",
         [this] {
             activate();
             stayFor(2);
             leave();
             activate();  // within the timeout: the same session
             leave();
             moveWallClock(-1801);
             activate();
         },
         2,
         {2000, 0}},
        {"timeout 0: every activation after any time starts a session",
         [this] {
             sessions_->setTimeoutSessionInterval(0);
             activate();
             leave();
             executor().advanceBy(0.5);
             activate();
             leave();
             executor().advanceBy(0.5);
             activate();
         },
         3,
         {0, 0}},
        {"the engagement timer reports each interval and the rest on leaving",
         [this] {
             activate();
             executor().advanceBy(3600 + 90);
             leave();
         },
         1,
         {3'600'000, 90'000}},
    };
    for (const auto& c : cases) {
        restartSessions();
        c.steps();
        EXPECT_EQ(events({"_s"}).size(), c.sessionStarts) << c.what;
        std::vector<int64_t> engagement;
        for (const auto& event : events({"_e"})) engagement.push_back(integer(event, "_et").value_or(-1));
        EXPECT_EQ(engagement, c.engagement) << c.what;
    }
}

TEST_F(SessionTest, ASessionStartCarriesItsIdAndNumberAndSetsThemAsUserProperties) {
    sessions_->setReportingEnabled(true);
    activate();
    auto starts = events({"_s"});
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(integer(starts[0], "_sid"), static_cast<int64_t>(clock().wallTime()));
    EXPECT_EQ(integer(starts[0], "_sno"), 1);
    const auto calls = engine_->takeCalls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "set:auto:_sid"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "set:auto:_sno"), calls.end());

    // Switched off by the engine, nothing is reported.
    leave();
    sessions_->setReportingEnabled(false);
    forgetEvents();
    executor().advanceBy(4000);
    activate();
    leave();
    EXPECT_TRUE(events({"_s", "_e"}).empty());
}

// The engine's start runs on its own queue and may finish after the
// application became active: the session of that activation is not lost.
TEST_F(SessionTest, AnEngineThatStartsLateStillGetsTheSessionOfTheActivation) {
    auto config = MSRPersistedConfig::sharedInstance();
    sessions_->setReportingEnabled(false);
    activate();
    EXPECT_TRUE(events({"_s"}).empty());
    auto made = MSRSessionReporter::makeForEngine(config);
    EXPECT_EQ(made, sessions_) << "the engine takes over the reporter that follows the application";
    made->setReportingEnabled(true);
    EXPECT_EQ(events({"_s"}).size(), 1u);
    EXPECT_NE(MSRSessionReporter::makeForEngine(config), sessions_) << "after a wipe a new one";
}

// The application may be used, and even left, before the engine's start has
// run: that start begins the session, so nothing before it may begin one or
// make the session look current.
TEST_F(SessionTest, UseBeforeTheEngineSwitchesReportingOnLeavesTheSessionToTheEngine) {
    auto config = MSRPersistedConfig::sharedInstance();
    config->setSessionNumber(0);
    config->setLastSessionActivityClockTime(0);
    sessions_ = MSRSessionReporter::initWithPersistedConfig(config);
    forgetEvents();
    activate();
    stayFor(5);
    leave();
    EXPECT_TRUE(events({"_s"}).empty());
    EXPECT_EQ(config->lastSessionActivityClockTime(), 0);
    EXPECT_TRUE(sessions_->isSessionExpired()) << "the engine's start finds the session to begin";
}

// Engagement is logged only once the engine has switched reporting on: what
// was measured before waits for that, and goes if the engine switches it off.
TEST_F(SessionTest, EngagementBeforeTheEngineSwitchesReportingOnWaitsForIt) {
    struct Case {
        const char* what;
        std::function<void()> steps;
        bool switchedOn;
        std::vector<int64_t> engagement;  // "_et" of each "_e" once switched
    };
    const std::vector<Case> cases = {
        {"leaving", [] {}, true, {5000}},
        {"the engagement timer", [this] { executor().advanceBy(3600 + 1); }, true, {3'600'000, 1000}},
        {"a screen change",
         [] {
             for (const char* screen : {"One", "Two"}) {
                 DEDIzurarove::logEventWithName(
                     "screen_view", DEDIzurarove::Parameters{{"screen_name", foundation::Value(screen)}});
             }
         },
         true,
         {5000, 0}},
        {"collection off", [] {}, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        leave();
        sessions_ = MSRSessionReporter::initWithPersistedConfig(MSRPersistedConfig::sharedInstance());
        MSRRemoteConfig::defaultInstance()->setServerSettings(
            {{"measurement.lifecycle.app_backgrounded_tracking", "1"}});
        activate();
        stayFor(5);
        forgetEvents();
        c.steps();
        leave();
        EXPECT_TRUE(events({"_e", "_ab"}).empty());

        sessions_->setReportingEnabled(c.switchedOn);
        std::vector<int64_t> engagement;
        for (const auto& event : events({"_e"})) engagement.push_back(integer(event, "_et").value_or(-1));
        EXPECT_EQ(engagement, c.engagement);
        EXPECT_EQ(events({"_ab"}).size(), c.switchedOn ? 1u : 0u);
        MSRRemoteConfig::defaultInstance()->setServerSettings({});
    }
}

// The timeout itself is still within the session, in either direction of
// the wall clock; a second more ends it.
TEST_F(SessionTest, ASessionEndsOnlyAboveTheTimeout) {
    struct TimeoutCase {
        double timeout;
        double away;  // wall-clock seconds between leaving and coming back
        bool newSession;
    };
    const TimeoutCase cases[] = {
        {1800, 1800, false}, {1800, -1800, false}, {1800, 1801, true}, {1800, -1801, true},
        {0, 0, false},       {0, 1, true},
    };
    for (const TimeoutCase& c : cases) {
        SCOPED_TRACE("timeout " + std::to_string(c.timeout) + ", away " + std::to_string(c.away));
        restartSessions();
        sessions_->setTimeoutSessionInterval(c.timeout);
        activate();
        leave();
        moveWallClock(c.away);
        EXPECT_EQ(sessions_->isSessionExpired(), c.newSession);
        activate();
        EXPECT_EQ(events({"_s"}).size(), c.newSession ? 2u : 1u);
    }
}

class AdExposureTest : public SessionTest {
  protected:
    AdExposureTest() {
        activate();
        forgetEvents();
    }
    void begin(const std::string& unit) {
        ads_->beginAdUnitExposure(unit);
        settle();
    }
    std::vector<std::string> exposures() {
        std::vector<std::string> found;
        for (const auto& event : events({"_xu", "_xa"}))
            found.push_back(event.name + (event.name == "_xu" ? ":" + text(event, "_ai") : "") + "=" +
                            std::to_string(integer(event, "_xt").value_or(-1)));
        forgetEvents();
        return found;
    }
    std::shared_ptr<MSRAdExposureReporter> ads_ = MSRAdExposureReporter::sharedInstance();
};

TEST_F(AdExposureTest, NestedBeginsAndTheOneSecondThreshold) {
    begin("banner");
    begin("banner");
    stayFor(2);
    ads_->endAdUnitExposure("banner");
    EXPECT_TRUE(exposures().empty()) << "one begin is still open";
    ads_->endAdUnitExposure("banner");
    EXPECT_EQ(exposures(), (std::vector<std::string>{"_xu:banner=2000", "_xa=2000"}));

    begin("short");
    stayFor(0.9995);
    ads_->endAdUnitExposure("short");
    EXPECT_TRUE(exposures().empty());
    begin("second");
    stayFor(1.0);
    ads_->endAdUnitExposure("second");
    EXPECT_EQ(exposures(), (std::vector<std::string>{"_xu:second=1000", "_xa=1000"}));

    ads_->endAdUnitExposure("never-begun");
    EXPECT_TRUE(exposures().empty());
}

TEST_F(AdExposureTest, AScreenChangeReportsEveryOpenUnitOnceToTheScreenLeft) {
    DEDIzurarove::logEventWithName("screen_view",
                                   DEDIzurarove::Parameters{{"screen_name", foundation::Value("One")}});
    for (const char* unit : {"a", "b", "c"}) begin(unit);
    forgetEvents();
    stayFor(3);
    DEDIzurarove::logEventWithName("screen_view",
                                   DEDIzurarove::Parameters{{"screen_name", foundation::Value("Two")}});
    auto reported = events({"_xu", "_xa"});
    ASSERT_EQ(reported.size(), 4u);
    for (const auto& event : reported) EXPECT_EQ(text(event, "_sn"), "One") << event.name;
    EXPECT_EQ(exposures(), (std::vector<std::string>{"_xu:a=3000", "_xu:b=3000", "_xu:c=3000", "_xa=3000"}));
    // The units stay open and are measured again from the change.
    stayFor(0.5);
    ads_->endAdUnitExposure("a");
    EXPECT_TRUE(exposures().empty());
}

TEST_F(AdExposureTest, AtMostAHundredUnitsAreOpen) {
    for (int unit = 0; unit < 100; ++unit) begin("unit" + std::to_string(unit));
    begin("unit100");
    begin("unit7");  // already open, refused all the same: one end closes it
    stayFor(1);
    ads_->endAdUnitExposure("unit100");
    EXPECT_TRUE(exposures().empty()) << "the 101st unit was never open";
    ads_->endAdUnitExposure("unit7");
    EXPECT_EQ(exposures(), std::vector<std::string>{"_xu:unit7=1000"});
}

// A reporter that goes after the end of the queues (the reporter of an
// engine that could not start, ended with the process) cancels its
// engagement timer itself: nothing of anyone's was dropped, and the end says
// nothing.
TEST(SessionReporterEndTest, AReporterGoneAfterTheEndTellsOfNoDroppedWork) {
    struct Reopen {
        ~Reopen() { dispatch::reopenQueuesForTesting(); }
    } reopen;
    auto gone = MSRSessionReporter::initWithPersistedConfig(nullptr);
    auto current = MSRSessionReporter::initWithPersistedConfig(nullptr);
    ASSERT_EQ(gone.use_count(), 1);
    ASSERT_TRUE(dispatch::endQueues(60));
    testing::internal::CaptureStderr();
    gone.reset();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
