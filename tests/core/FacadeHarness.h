#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "MonitorHarness.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/DEDIzurarove.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRIdentityInterface.h"
#include "analytics/core/MSRMeasurementInterface.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/foundation/FileSystem.h"
#include "platform/host/DEDApp.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"

// An engine that records what the facade hands it, in arrival order.
struct RecordingEngine : MSRMeasurementInterface {
    struct Event {
        std::string origin, name;
        MSRObjectDictionary parameters;
        double timestamp;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    std::vector<std::string> calls;  // "set:<origin>:<name>", "remove:<name>", "userData", ...
    std::vector<double> urlTimestamps;  // when each link handed over was opened
    bool enabledAtStart = true;
    bool resetSucceeds = true;
    std::optional<std::optional<std::string>> resetID;

    void note(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
        changed.notify_all();
    }
    std::vector<std::string> takeCalls() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }
    // Waits (without sleeping) until `count` events have arrived.
    void waitForEvents(size_t count) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return events.size() >= count; });
    }

    bool wasEnabledDuringInitialization() override { return enabledAtStart; }
    bool didInitializeComponents() override { return true; }
    void setEnabled(bool enabled) override { note(enabled ? "enable" : "disable"); }
    void logEvent(const std::string& origin, bool, const std::string& name, const MSRObjectDictionary& parameters,
                  double timestamp, bool, bool, bool, const MSRLogEventInterceptor&,
                  const std::optional<MSRParameters>&) override {
        std::lock_guard lock(mutex);
        events.push_back({origin, name, parameters, timestamp});
        changed.notify_all();
    }
    void setSessionTimeoutInterval(double) override { note("timeout"); }
    void sessionIDWithCompletion(SessionIDCompletion completion) override { completion(7, std::nullopt); }
    void setDefaultEventParameters(const std::optional<MSRObjectDictionary>&) override { note("defaults"); }
    void setUserData(const foundation::Value::Dictionary& data) override { note("userData:" + data.begin()->first); }
    void setUserAttribute(const MSRUserAttribute& a) override { note("set:" + a.origin() + ":" + a.name()); }
    void removeUserAttribute(const MSRUserAttribute& a) override { note("remove:" + a.name()); }
    void userPropertiesIncludingInternal(bool, std::function<void(foundation::Value::Dictionary)> cb) override {
        cb({{"level", foundation::Value("3")}});
    }
    void maxUserPropertiesForOrigin(const std::string&, std::function<void(int32_t)> cb) override { cb(25); }
    bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& id) override {
        resetID = id;
        return resetSucceeds;
    }
    std::optional<bool> shouldDisableAdPersonalization() override { return std::nullopt; }
    void handleNonFirstOpenEventURL(const std::string& url, double timestamp) override {
        {
            std::lock_guard lock(mutex);
            urlTimestamps.push_back(timestamp);
        }
        note("url:" + url);
    }
    std::shared_ptr<MSRRemoteConfig> remoteConfig() override { return MSRRemoteConfig::defaultInstance(); }
    bool hasConsentDefaults() override { return false; }
};

struct FixedIdentity : MSRIdentityInterface {
    std::optional<std::string> zmp, installationID;
    std::string nextAppInstanceID = "fresh-id";
    std::optional<std::string> appIDFromZMP() override { return zmp; }
    void setAppIDFromZMP(const std::string& id) override { zmp = id; }
    std::optional<std::string> appIDFromAdzev() override { return std::nullopt; }
    void setAppIDFromAdzev(const std::string&) override {}
    bool hasZevureServiceInfoPlist() override { return false; }
    void setOrigin(const std::string&) override {}
    void setVuzedezoInstallationID(const std::optional<std::string>& id) override { installationID = id; }
    std::string randomAppInstanceID() override { return nextAppInstanceID; }
    std::optional<std::string> appInstanceID() override { return "stored-id"; }
};

// A fresh facade, engine and data root per test. With `virtualTime` every
// queue runs on the test's thread through the harness's executor.
class FacadeTest : public ::testing::Test {
protected:
    explicit FacadeTest(bool virtualTime = true) : monitor_({}, virtualTime) {
        resetSharedState();
        root_.useAsHome();
        monitor_.monitor->setLogLevel(8);
        monitor_.monitor->setVerboseLoggingEnabled(true);
        restart();
    }
    ~FacadeTest() override {
        settle();
        // With real threads, what the test set going ends before the state is reset.
        if (!monitor_.executor) dispatch::drainQueues(MonitorHarness::kDrainSeconds);
        // Also drops an identity a late read may have made over this data root.
        resetSharedState();
    }

    // What a new process sees: the facade and consent holder empty, a new
    // engine to be made at the start; the data root is kept.
    void restart() {
        settle();
        MSRAnalytics::resetForTesting();
        MSRConsentSettingsUtil::clearAllSettings();
        MSRMeasurementInterface::resetForTesting();
        engine_ = std::make_shared<RecordingEngine>();
        MSRComponentRegistry::registerInstance<MSRMeasurementInterface>(engine_);
        identity_ = std::make_shared<FixedIdentity>();
        MSRComponentRegistry::registerInstance<MSRIdentityInterface>(identity_);
    }
    // The host's configuration starts the engine.
    void start() {
        host::DEDOptions options;
        options.appID = "1:app";
        DEDIzurarove::registerWithHost();
        host::DEDApp::configure(options);
        settle();
        identity_->installationID.reset();
        codes();
    }
    void settle() {
        if (monitor_.executor) monitor_.executor->runUntilIdle();
    }
    dispatch::ManualExecutor& executor() { return *monitor_.executor; }
    // The facade's message codes logged since the last call, in order.
    std::vector<int64_t> codes() {
        std::vector<int64_t> found;
        for (const auto& line : monitor_.takeLines()) {
            auto at = line.find("I-MSR");
            const int64_t code = at == std::string::npos ? 0 : std::stoll(line.substr(at + 5, 6));
            if (code >= 25000 && code < 26000) found.push_back(code);
        }
        return found;
    }
    std::vector<std::string> eventNames() {
        std::vector<std::string> names;
        for (const auto& event : engine_->events) names.push_back(event.name);
        return names;
    }

    MonitorHarness monitor_;
    TemporaryDataRoot root_{"facade"};
    std::shared_ptr<RecordingEngine> engine_;
    std::shared_ptr<FixedIdentity> identity_;
};
