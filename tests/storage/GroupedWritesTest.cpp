// Writes grouped under one commit: what another connection sees, when, and
// what a failing member or a plain transaction does to the group.

#include "StorageTestSupport.h"
#include "tests/storage/FullDisk.h"

namespace {

class GroupedWritesTest : public OpenDatabaseTest {
  protected:
    void SetUp() override {
        FullDisk::install();
        OpenDatabaseTest::SetUp();
    }
    bool add(const std::string& id) {
        return database_->performGroupedTransaction(
            [&] { return database_->insertIfNotDuplicateSubscriptionID(id, nullptr).value_or(false); });
    }
    // The subscription IDs another connection sees, in insertion order.
    std::string committed() {
        std::string ids = shell(database_->databasePath(),
                                "SELECT group_concat(id, '') FROM (SELECT subscription_id AS id FROM subscriptions "
                                "ORDER BY rowid)");
        return ids.substr(0, ids.find('\n'));
    }
};

TEST_F(GroupedWritesTest, MembersCommitTogetherAndAFailingOneUndoesOnlyItself) {
    std::vector<std::string> ended;
    ASSERT_TRUE(add("a"));
    database_->runWhenPendingWritesEnd([&](bool ok) { ended.push_back(ok ? committed() : "failed"); });
    EXPECT_FALSE(database_->performGroupedTransaction([&] {
        database_->insertIfNotDuplicateSubscriptionID("x", nullptr);
        return false;
    }));
    ASSERT_TRUE(add("b"));
    // A nested transaction inside a member is a savepoint of its own.
    ASSERT_TRUE(database_->performGroupedTransaction([&] {
        database_->performTransaction([&] {
            database_->insertIfNotDuplicateSubscriptionID("y", nullptr);
            return false;
        });
        return database_->insertIfNotDuplicateSubscriptionID("c", nullptr).value_or(false);
    }));

    EXPECT_TRUE(database_->hasPendingWrites());
    EXPECT_EQ(committed(), "") << "nothing is on disk before the commit";
    EXPECT_TRUE(ended.empty());
    EXPECT_TRUE(database_->commitPendingWrites());
    EXPECT_EQ(committed(), "abc");
    EXPECT_EQ(ended, std::vector<std::string>{"abc"}) << "waiting blocks run after the commit";
    EXPECT_FALSE(database_->hasPendingWrites());

    bool ranAtOnce = false;
    database_->runWhenPendingWritesEnd([&](bool ok) { ranAtOnce = ok; });
    EXPECT_TRUE(ranAtOnce);

    // A long burst does not wait for its end to reach the disk.
    for (int64_t i = 1; i < MSRDatabase::kMaxGroupedWrites; ++i) ASSERT_TRUE(add("n" + std::to_string(i)));
    EXPECT_TRUE(database_->hasPendingWrites());
    ASSERT_TRUE(add("z"));
    EXPECT_FALSE(database_->hasPendingWrites());
    EXPECT_EQ(committed().back(), 'z');
}

TEST_F(GroupedWritesTest, EverythingElseCommitsTheGroupFirst) {
    ASSERT_TRUE(add("a"));
    // A plain transaction, even one that rolls back, keeps the group's writes.
    EXPECT_FALSE(database_->performTransaction([&] {
        database_->insertIfNotDuplicateSubscriptionID("x", nullptr);
        return false;
    }));
    EXPECT_EQ(committed(), "a");

    ASSERT_TRUE(add("b"));
    bool ended = false;
    database_->runWhenPendingWritesEnd([&](bool ok) { ended = ok; });
    MSRError error;
    ASSERT_TRUE(database_->reset(&error));
    EXPECT_TRUE(ended);
    EXPECT_EQ(committed(), "");

    ASSERT_TRUE(add("c"));
    database_.reset();
    database_ = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    ASSERT_TRUE(database_);
    EXPECT_EQ(committed(), "c") << "the database's end commits what waited";
}

TEST_F(GroupedWritesTest, ACommitTheDiskRefusesTellsTheWaitingBlocksSo) {
    ASSERT_TRUE(add("a"));
    std::vector<bool> told;
    database_->runWhenPendingWritesEnd([&](bool ok) { told.push_back(ok); });
    {
        FullDisk::Scope full;
        EXPECT_FALSE(database_->commitPendingWrites());
    }
    EXPECT_EQ(told, std::vector<bool>{false});
    EXPECT_EQ(committed(), "");
    // Once space returns the connection writes again.
    ASSERT_TRUE(add("b"));
    EXPECT_TRUE(database_->commitPendingWrites());
    EXPECT_EQ(committed(), "b");
}

// A held block's members commit together even where the group reaches its
// size limit among them: an event and what it set off never reach the file
// one without the other.
TEST_F(GroupedWritesTest, AHeldBlockIsNeverCommittedInItsMiddle) {
    // Writes waiting before the block: the limit falls on its first, middle
    // or last member.
    for (int64_t waiting = MSRDatabase::kMaxGroupedWrites - 1; waiting >= MSRDatabase::kMaxGroupedWrites - 3;
         --waiting) {
        SCOPED_TRACE(waiting);
        const std::string prefix = "h" + std::to_string(waiting) + "-";
        for (int64_t i = 0; i < waiting; ++i) ASSERT_TRUE(add(prefix + std::to_string(i)));
        const std::string before = committed();
        std::vector<std::string> seen;
        database_->holdPendingWrites([&] {
            for (const char* member : {"x", "y", "z"}) {
                ASSERT_TRUE(add(prefix + member));
                seen.push_back(committed());
            }
        });
        EXPECT_EQ(seen, std::vector<std::string>(3, before));
        EXPECT_TRUE(database_->commitPendingWrites());
        const std::string after = committed();
        EXPECT_EQ(after.substr(after.size() - 3 * (prefix.size() + 1)), prefix + "x" + prefix + "y" + prefix + "z");
    }
}

// The day's counts are read once and written once per group, and a member
// without a savepoint undoes its failed statement and its counting alone.
TEST_F(GroupedWritesTest, DailyCountsGoWithTheGroupAndFailedMembersTakeTheirCountsBack) {
    auto storedEvents = [&] {
        std::string count =
            shell(database_->databasePath(), "SELECT daily_events_count FROM app_metadata WHERE rowid = 1");
        return count.substr(0, count.find('\n'));
    };
    // Counts an event and adds a subscription ID; `fails` makes the insert
    // break a constraint (the ID is taken) after the counting.
    auto member = [&](const std::string& id, bool savepoint, bool fails) {
        auto block = [&] {
            std::optional<MSRDailyCounts> counts = database_->dailyCounts(nullptr);
            if (!counts) return false;
            counts->incrementCountsForCurrentDay(counts->day(), false, false, 1);
            if (!database_->updateDailyCounts(counts, nullptr)) return false;
            if (fails) return database_->insertIfNotDuplicateSubscriptionID(id, nullptr).value_or(false) && false;
            return database_->insertIfNotDuplicateSubscriptionID(id, nullptr).value_or(false);
        };
        return savepoint ? database_->performGroupedTransaction(block) : database_->performGroupedWrite(block);
    };
    const std::string before = storedEvents();
    ASSERT_TRUE(member("a", false, false));
    ASSERT_TRUE(member("b", true, false));
    EXPECT_FALSE(member("a", false, true));
    EXPECT_FALSE(member("c", true, true));
    ASSERT_TRUE(member("d", false, false));
    EXPECT_EQ(storedEvents(), before) << "the counts wait for the group's commit";
    EXPECT_EQ(database_->dailyCounts(nullptr)->allEventsCount(), 3);

    EXPECT_TRUE(database_->commitPendingWrites());
    EXPECT_EQ(committed(), "abd");
    EXPECT_EQ(storedEvents(), "3");

    // A group whose commit fails loses its counts with its rows.
    ASSERT_TRUE(member("e", false, false));
    {
        FullDisk::Scope full;
        EXPECT_FALSE(database_->commitPendingWrites());
    }
    EXPECT_EQ(storedEvents(), "3");
    EXPECT_EQ(database_->dailyCounts(nullptr)->allEventsCount(), 3);
}

}  // namespace
