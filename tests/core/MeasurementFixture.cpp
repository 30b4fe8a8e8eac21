#include "MeasurementFixture.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentifiers.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRIdentityInterface.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRMeasurementInterface.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/core/MSRNetworkComponent.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "tests/support/SharedState.h"

namespace {

void writePlist(const std::filesystem::path& path, const foundation::Value::Dictionary& entries) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << foundation::propertyListXml(foundation::Value(entries)).value_or("");
}

}  // namespace

MeasurementFixture::MeasurementFixture() {
    resetSharedState();
    root_.useAsHome("home");
    monitor_.monitor->setLogLevel(8);
    monitor_.monitor->setVerboseLoggingEnabled(true);
}

MeasurementFixture::~MeasurementFixture() {
    stopEngine();
}

void MeasurementFixture::SetUp() {
    if (startInSetUp) startEngine(options());
}

void MeasurementFixture::TearDown() { stopEngine(); }

void MeasurementFixture::writeBundle(const MeasurementOptions& options) {
    foundation::Value::Dictionary info = {
        {"CFBundleIdentifier", foundation::Value("app.calvaro.tests")},
        {"CFBundleShortVersionString", foundation::Value("2.1")},
        {"CFBundleVersion", foundation::Value("2.1.0")},
    };
    for (const auto& [key, value] : options.infoPlist) info[key] = value;
    writePlist(resources() / "Info.plist", info);
    foundation::Value::Dictionary service;
    if (!options.zevureAppID.empty()) service["ZEVURE_APP_ID"] = foundation::Value(options.zevureAppID);
    if (!options.adzevAppID.empty()) service["ADZEV_APP_ID"] = foundation::Value(options.adzevAppID);
    std::filesystem::remove(resources() / "ZevureService-Info.plist");
    if (!service.empty()) writePlist(resources() / "ZevureService-Info.plist", service);
}

void MeasurementFixture::startEngine(const MeasurementOptions& options) {
    options_ = options;
    writeBundle(options);
    persistedConfig_ = MSRPersistedConfig::initWithSuiteName(MSRPersistedConfig::kSuiteName);
    MSRPersistedConfig::setSharedInstance(persistedConfig_);
    MSRIdentityEnvironment environment;
    environment.bundle = std::make_shared<foundation::Bundle>(resources());
    MSRIdentity::setSharedInstanceForTesting(MSRIdentity::initWithPersistedConfig(persistedConfig_, environment));
    MSRIdentifiers::sharedInstance()->setOrigin(options.origin);

    if (options.firstOpenDone && !std::filesystem::exists(MSRSDKFilePath(MSRMeasurement::kDatabaseName))) {
        // Unusable storage (tests of it) stays unusable: nothing is seeded.
        if (auto seeded = MSRDatabase::initWithDatabaseName(MSRMeasurement::kDatabaseName, persistedConfig_, nullptr))
            seeded->updateUserAttribute(MSRUserAttribute::initWithOrigin("auto", "_fot", MSRValue(int64_t{3600000}), 1),
                                        nullptr);
    }
    fakeNetwork_ = std::make_shared<net::FakeNetwork>();
    auto network = std::make_shared<MSRNetworkComponent>(fakeNetwork_, monitor_.monitor);
    auto scheduler = std::make_shared<MSRScheduler>("app.calvaro.tests.measurement.worker", monitor_.monitor);
    auto alarm = std::make_shared<MSRAlarm>(scheduler->workerQueue(), MSRMeasurement::kAlarmName, monitor_.monitor);
    engine_ = MSRMeasurement::initWithDatabaseName(
        MSRMeasurement::kDatabaseName, persistedConfig_, std::move(network), std::move(scheduler), std::move(alarm),
        options.appID, options.isAnalyticsCollectionEnabled, options.isAnalyticsCollectionDeactivated,
        options.safelistedEvents, MSREManager::sharedInstance());
    ASSERT_TRUE(engine_);
    if (options.installShared) {
        MSRMeasurement::installSharedInstanceForTesting(engine_);
        MSRComponentRegistry::registerInstance<MSRMeasurementInterface>(engine_);
        MSRMeasurementInterface::initializeSharedInstance({});
        // The facade's calls reach the engine without a start of the facade.
        MSRAnalytics::unsuspendOperationQueue();
    }
    if (options.runStart) runUntilIdle();
}

void MeasurementFixture::stopEngine() {
    // After a wait gave up on an engine that never goes idle, draining would
    // hang the test it just failed: what is still queued is dropped with the
    // executor instead.
    const bool drain = monitor_.executor && !neverIdle_;
    if (drain) runUntilIdle();
    engine_.reset();
    fakeNetwork_.reset();
    resetSharedState();
    MSRDataTypeValidator::setRemoteConfig(nullptr);
    if (persistedConfig_) persistedConfig_->synchronizeToDisk();
    persistedConfig_.reset();
    if (drain) runUntilIdle();
}

void MeasurementFixture::restartEngine(const MeasurementOptions& options) {
    stopEngine();
    startEngine(options);
}

void MeasurementFixture::runOnWorkerQueue(std::function<void()> block) {
    engine_->scheduler()->scheduleOnWorkerQueueBlockID("MeasurementFixture", std::move(block));
    runUntilIdle();
}

bool MeasurementFixture::advanceByRunningAtMost(double seconds, size_t maxBlocks) {
    advance(seconds, maxBlocks);
    return !neverIdle_;
}

size_t MeasurementFixture::advance(double seconds, std::optional<size_t> maxBlocks) {
    if (neverIdle_) return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kLongestWait);
    size_t count = 0;
    auto runDue = [&] {
        size_t ran = 0;
        while (!neverIdle_ && executor().runOne()) {
            ++ran;
            if (maxBlocks && count + ran >= *maxBlocks) {
                neverIdle_ = true;
            } else if (std::chrono::steady_clock::now() > deadline) {
                neverIdle_ = true;
                ADD_FAILURE() << "a wait of " << seconds << " s of virtual time still ran after " << kLongestWait
                              << " s of real time (" << count + ran << " blocks): the engine never went idle";
            }
        }
        count += ran;
        return ran;
    };
    runDue();
    double remaining = std::max(0.0, seconds);
    while (!neverIdle_) {
        std::optional<double> next = executor().nextDelay();
        if (!next || *next > remaining) break;
        executor().clock().advance(*next);
        remaining -= *next;
        // A due block that cannot run (its queue is busy up the stack) must not spin us.
        if (runDue() == 0 && *next == 0) break;
    }
    if (neverIdle_) return count;
    executor().clock().advance(remaining);
    runDue();
    return count;
}

std::vector<std::string> MeasurementFixture::sql(const std::string& statement) {
    std::vector<std::string> rows;
    sqlite3* handle = nullptr;
    EXPECT_EQ(sqlite3_open(database().databasePath().c_str(), &handle), SQLITE_OK);
    const char* tail = statement.c_str();
    while (*tail != '\0') {
        sqlite3_stmt* step = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(handle, tail, -1, &step, &tail), SQLITE_OK) << statement;
        if (step == nullptr) break;
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(step)) == SQLITE_ROW) {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(step, 0));
            rows.emplace_back(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(step, 0)));
        }
        EXPECT_EQ(result, SQLITE_DONE) << statement;
        sqlite3_finalize(step);
    }
    sqlite3_close(handle);
    return rows;
}

std::vector<int64_t> MeasurementFixture::codes() {
    auto lines = monitor_.takeLines();
    lines.insert(lines.begin(), pendingLines_.begin(), pendingLines_.end());
    pendingLines_.clear();
    std::vector<int64_t> found;
    for (const auto& line : lines) {
        auto at = line.find("I-MSR");
        if (at != std::string::npos) found.push_back(std::stoll(line.substr(at + 5, 6)));
    }
    return found;
}

bool MeasurementFixture::logged(int64_t code) {
    auto lines = monitor_.takeLines();
    pendingLines_.insert(pendingLines_.end(), lines.begin(), lines.end());
    const std::string tag = "I-MSR" + std::to_string(1000000 + code).substr(1);
    return std::any_of(pendingLines_.begin(), pendingLines_.end(),
                       [&](const std::string& line) { return line.find(tag) != std::string::npos; });
}
