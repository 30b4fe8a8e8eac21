// A server drops a bundle whose index it has seen from the same app
// instance: the index goes on from the last one even when the database
// starts afresh.

#include <gtest/gtest.h>

#include <filesystem>

#include "MeasurementFixture.h"
#include "analytics/core/MSRBundleFields.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRFilePaths.h"

class BundleIndexAfterAFreshDatabaseTest : public MeasurementFixture {
  protected:
    // One stored event, bundled; the new bundle's index.
    int32_t bundleOneEvent(double timestamp) {
        MSRPBMeasurementBundle meta;
        MSRPBSetInt32(meta, MSRBundleSlot::kProtocolVersion, 1);
        MSRPBSetString(meta, MSRBundleSlot::kAppID, "app.calvaro");
        MSRError error;
        EXPECT_TRUE(database().insertIfNotExistsRawEventMetadata(meta, &error)) << error.description();
        const auto fingerprint = static_cast<int64_t>(msr_64LSBMD5(*meta.protoBuffer()));
        EXPECT_TRUE(database().insertRawEvent(MSREvent::initWithOrigin("app", true, "level_up", timestamp, 0, {}),
                                              fingerprint, false, &error))
            << error.description();
        const size_t before = queuedIndexes().size();
        bool made = false;
        runOnWorkerQueue([&] { made = engine().bundleRawEvents(); });
        EXPECT_TRUE(made);
        const std::vector<int32_t> indexes = queuedIndexes();
        return indexes.size() == before + 1 ? indexes.back() : -1;
    }
    std::vector<int32_t> queuedIndexes() {
        std::vector<int32_t> indexes;
        for (const auto& row : database().queryBundlesWithCountLimit(1000, 1 << 30, nullptr).value_or(
                 std::vector<MSRQueuedBundle>{}))
            indexes.push_back(MSRPBGetInt32(row.first, MSRBundleSlot::kBundleIndex));
        return indexes;
    }
};

// The database file removed between two runs (as a damaged one is set
// aside): the next bundle takes the next index, not the first again.
TEST_F(BundleIndexAfterAFreshDatabaseTest, TheIndexGoesOnAfterTheDatabaseStartsAfresh) {
    constexpr double kNoon = 1772452800;  // 2026-03-02 12:00 UTC
    const int32_t first = bundleOneEvent(kNoon);
    ASSERT_GT(first, 0);
    EXPECT_EQ(bundleOneEvent(kNoon + 3600), first + 1);
    stopEngine();
    const std::filesystem::path file = MSRSDKFilePath(MSRMeasurement::kDatabaseName);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(file.string() + suffix);
    startEngine(options());
    ASSERT_TRUE(queuedIndexes().empty()) << "the database is not a fresh one";
    EXPECT_EQ(bundleOneEvent(kNoon + 7200), first + 2);
    restartEngine();
    EXPECT_EQ(bundleOneEvent(kNoon + 10800), first + 3);
}
