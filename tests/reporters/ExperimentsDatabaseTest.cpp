// The experiments database: activation splits launched from activated
// experiments, the automatic activation at start, stale rows.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "ExperimentsHarness.h"

namespace {

class ExperimentsDatabaseTest : public ExperimentsTest {
  protected:
    void SetUp() override {
        database_ = MSREDatabase::initWithPath(MSRSDKFilePath(MSREDatabase::kFileName));
        ASSERT_TRUE(database_);
    }
    // Runs `statement` through a second connection, as the sqlite3 shell would.
    void sql(const std::string& statement) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(database_->path().c_str(), &handle), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(handle, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << statement;
        sqlite3_close(handle);
    }
    std::map<std::string, std::vector<int64_t>> idsByName(
        const std::optional<std::vector<MSRESnapshot>>& rows) {
        std::map<std::string, std::vector<int64_t>> out;
        EXPECT_TRUE(rows);
        for (const auto& row : rows.value_or(std::vector<MSRESnapshot>{})) out[row.SDKName()] = ids(row);
        return out;
    }
    using Ids = std::map<std::string, std::vector<int64_t>>;
    Ids pending() { return idsByName(database_->fetchAllPendingSnapshots(nullptr)); }
    Ids activated() { return idsByName(database_->fetchAllActivatedSnapshots(nullptr)); }
    Ids launched() { return idsByName(database_->fetchAllLaunchedSnapshots(nullptr)); }
    bool store(const MSRESnapshot& snapshot, std::optional<bool> manual, double timestamp) {
        return database_->upsertSnapshot(snapshot.proto(), MSREDatabase::kPendingTable, timestamp, manual,
                                         nullptr);
    }
    bool activateAutomatically() {
        MSRError error;
        return database_->performTransaction(
            [&] { return database_->activatePendingSnapshotsAutomatically(&error); });
    }

    std::unique_ptr<MSREDatabase> database_;
};

TEST_F(ExperimentsDatabaseTest, ActivationSplitsLaunchedFromActivatedAndKeepsLaterPendingRows) {
    const double t = now();
    ASSERT_TRUE(store(snapshot("lib", {0, 7}), false, t));
    ASSERT_TRUE(database_->activateSnapshot(snapshot("lib", {0, 7}), t, nullptr));
    EXPECT_EQ(launched(), (Ids{{"lib", {0}}}));
    EXPECT_EQ(activated(), (Ids{{"lib", {7}}}));
    EXPECT_TRUE(pending().empty());

    // A row fetched after the activation's time stays pending; a second
    // upsert for the same library replaces the first.
    ASSERT_TRUE(store(snapshot("lib", {8}), true, t + 10));
    ASSERT_TRUE(store(snapshot("lib", {9}), true, t + 20));
    ASSERT_TRUE(database_->activateSnapshot(snapshot("lib", {3}), t + 5, nullptr));
    EXPECT_EQ(pending(), (Ids{{"lib", {9}}}));

    // A new activation without experiments of its own leaves none activated:
    // the earlier ones must not come back at the next start.
    ASSERT_TRUE(database_->activateSnapshot(snapshot("lib", {0}), t + 30, nullptr));
    EXPECT_TRUE(activated().empty());
    EXPECT_EQ(launched(), (Ids{{"lib", {0}}}));
}

TEST_F(ExperimentsDatabaseTest, StartActivatesEveryRowNotMarkedManualAndDropsCorruptOnes) {
    const double t = now();
    ASSERT_TRUE(store(snapshot("manual", {1}), true, t));
    ASSERT_TRUE(store(snapshot("unmarked", {2}), false, t));
    ASSERT_TRUE(store(snapshot("null_mark", {0, 3}), std::nullopt, t));
    ASSERT_TRUE(store(snapshot("corrupt", {4}), false, t));
    sql("UPDATE pending_snapshot_table SET snapshotProto = x'ffffffff' WHERE sdk_name = 'corrupt'");
    // A corrupt row makes a plain read of its table fail.
    EXPECT_FALSE(database_->fetchAllPendingSnapshots(nullptr));

    ASSERT_TRUE(activateAutomatically());
    EXPECT_EQ(pending(), (Ids{{"manual", {1}}}));
    EXPECT_EQ(activated(), (Ids{{"null_mark", {3}}, {"unmarked", {2}}}));
    EXPECT_EQ(launched(), (Ids{{"null_mark", {0}}}));
    // The corrupt row is gone, and every table reads again.
    EXPECT_TRUE(database_->fetchAllPendingSnapshots(nullptr));
    ASSERT_TRUE(activateAutomatically());
}

TEST_F(ExperimentsDatabaseTest, StaleActivatedRowsGoAfterThreeDays) {
    ASSERT_TRUE(database_->upsertSnapshot(snapshot("old", {1}).proto(), MSREDatabase::kActivatedTable,
                                          now() - 259201, std::nullopt, nullptr));
    ASSERT_TRUE(database_->upsertSnapshot(snapshot("recent", {2}).proto(), MSREDatabase::kActivatedTable,
                                          now() - 2 * 86400, std::nullopt, nullptr));
    ASSERT_TRUE(database_->deleteStaleActivatedSnapshots(nullptr));
    EXPECT_EQ(activated(), (Ids{{"recent", {2}}}));

    MSRError error;
    EXPECT_FALSE(database_->deleteActivatedExperimentsOfSDKName("", &error));
    EXPECT_EQ(error.code(), 1);
    // A message without a library name is refused.
    MSRPBSnapshot nameless;
    EXPECT_FALSE(database_->upsertSnapshot(nameless, MSREDatabase::kPendingTable, now(), false, nullptr));
}

}  // namespace
