#pragma once

// A fresh measurement engine per test: its own data root, every queue on a
// manual executor in virtual time (FakeClock), a scripted network behind the
// engine's network component, its own persisted configuration, identity and
// bundle facts, and the component start already run.
//
//   class MyTest : public MeasurementFixture {};
//   TEST_F(MyTest, Something) {
//       engine().setUserAttribute(...);
//       runUntilIdle();
//       EXPECT_TRUE(database().containsUserAttributeWithName("level", nullptr).value_or(false));
//   }
//
// Override options() in a derived fixture (or call startEngine(options) in a
// test after `startInSetUp = false`) to start differently.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MonitorHarness.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/Value.h"
#include "platform/net/FakeNetwork.h"
#include "tests/support/TemporaryDataRoot.h"

struct MeasurementOptions {
    std::string appID = "1:1234567890:ios:0a1b2c3d4e5f";
    // "ZEVURE_APP_ID" of the service configuration file; none when empty.
    std::string zevureAppID = "1:1234567890:ios:0a1b2c3d4e5f";
    std::string adzevAppID;
    bool isAnalyticsCollectionEnabled = true;
    bool isAnalyticsCollectionDeactivated = false;
    std::optional<std::vector<std::string>> safelistedEvents;
    // Extra Info.plist entries of the application bundle.
    foundation::Value::Dictionary infoPlist;
    // The facade's origin ("da": the public interface started the engine).
    std::string origin = "da";
    // Installs the engine as the shared one (MSRMeasurement and the facade's).
    bool installShared = true;
    // Runs the queued start before startEngine returns.
    bool runStart = true;
    // A data root without a database gets one that already holds a first
    // open, so the start reports none and tests count only their own events.
    bool firstOpenDone = true;
};

class MeasurementFixture : public ::testing::Test {
protected:
    MeasurementFixture();
    ~MeasurementFixture() override;

    void SetUp() override;
    void TearDown() override;

    // What SetUp starts with.
    virtual MeasurementOptions options() const { return {}; }
    bool startInSetUp = true;

    // Builds a new engine over the current data root and runs its start.
    void startEngine(const MeasurementOptions& options);
    // As a new process on the same data root: the engine, identity,
    // persisted configuration and facade are dropped and made again.
    void restartEngine(const MeasurementOptions& options);
    void restartEngine() { restartEngine(options_); }
    // Drops the engine and every shared instance it made.
    void stopEngine();

    // The waits below end even when the engine never goes idle (a fault that
    // queues work again and again at one instant never lets virtual time move
    // on): after kLongestWait seconds of real time a wait fails the test, and
    // every later wait of the test returns at once.
    static constexpr double kLongestWait = 30;
    // Runs every block that is due on any queue.
    size_t runUntilIdle() { return advanceBy(0); }
    // Runs `block` on the engine's worker queue, and everything due after it.
    void runOnWorkerQueue(std::function<void()> block);
    // Moves virtual time on, running delayed work as it falls due.
    size_t advanceBy(double seconds) { return advance(seconds, std::nullopt); }
    // advanceBy for a wait whose usual length is known: gives up after
    // `maxBlocks` blocks, long before the real-time limit; false when it had to.
    bool advanceByRunningAtMost(double seconds, size_t maxBlocks);
    dispatch::ManualExecutor& executor() { return *monitor_.executor; }
    double now() { return executor().clock().wallTime(); }

    MSRMeasurement& engine() { return *engine_; }
    const std::shared_ptr<MSRMeasurement>& enginePointer() { return engine_; }
    // Null when the start could not open it.
    MSRDatabase& database() { return *engine_->database(); }
    MSRRemoteConfig& remoteConfig() { return *engine_->remoteConfigInstance(); }
    MSRPersistedConfig& persistedConfig() { return *persistedConfig_; }
    net::FakeNetwork& network() { return *fakeNetwork_; }
    MSRMonitor& monitor() { return *monitor_.monitor; }
    const std::filesystem::path& home() const { return root_.home(); }
    // The application bundle's resources folder of this test.
    std::filesystem::path resources() const { return root_.path() / "resources"; }

    // Message codes logged since the last call (all of them, in order).
    std::vector<int64_t> codes();
    // Runs `sql` on the engine's database file through a second connection,
    // as another reader of the file sees it; the first column of each result
    // row, as bytes.
    std::vector<std::string> sql(const std::string& statement);
    // Whether `code` was logged since the last call of codes() (does not
    // consume the lines).
    bool logged(int64_t code);

    TemporaryDataRoot root_{"measurement"};
    MonitorHarness monitor_;
    MeasurementOptions options_;
    std::shared_ptr<MSRPersistedConfig> persistedConfig_;
    std::shared_ptr<net::FakeNetwork> fakeNetwork_;
    std::shared_ptr<MSRMeasurement> engine_;

private:
    void writeBundle(const MeasurementOptions& options);
    // What ManualExecutor::advanceBy does, one block at a time within the limits.
    size_t advance(double seconds, std::optional<size_t> maxBlocks);
    // Set when a wait gave up.
    bool neverIdle_ = false;
    std::vector<std::string> pendingLines_;
};
