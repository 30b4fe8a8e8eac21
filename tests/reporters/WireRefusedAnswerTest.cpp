// An experiments answer past a bound of the wire table (snapshots, library
// answers, or any list of theirs) is refused whole before it is built: the
// stored snapshots are kept and in use, and the schedule goes on as after a
// failure. An answer's snapshots are stored in one transaction.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include "ExperimentsHarness.h"

namespace {

class WireAnswerDelegate : public MSRETaskManagerDelegate {
  public:
    bool taskManagerShouldFetchExperiments(MSRETaskManager&) override { return true; }
    void taskManagerDidStart(MSRETaskManager&, const std::vector<MSRESnapshot>&,
                             const std::vector<MSRESnapshot>&, const std::vector<MSRESnapshot>&) override {}
    void taskManagerDidFinishFetching(MSRETaskManager&, const std::vector<MSRESnapshot>& snapshots,
                                      const std::map<std::string, MSRError>&) override {
        fetched.push_back(snapshots.size());
    }
    void taskManagerDidUpsertPendingSnapshots(MSRETaskManager&, const std::vector<MSRESnapshot>&) override {}
    std::vector<size_t> fetched;
};

class WireRefusedAnswerTest : public ExperimentsTest {
  protected:
    void answerWith(std::vector<uint8_t> body) {
        network_->setResponder([body = std::move(body)](const net::FakeNetwork::Request&) {
            net::FakeNetwork::Reply reply;
            reply.statusCode = 200;
            reply.body = body;
            return reply;
        });
    }
    // Runs until the next request has been answered.
    void nextFetch() {
        const size_t before = network_->requests().size();
        ASSERT_TRUE(executor().runUntil([&] { return network_->requests().size() > before; }, 400000));
        settle();
    }
    static std::vector<uint8_t> gzippedBytes(const std::vector<uint8_t>& bytes) {
        return *security::gzip(bytes);
    }

    std::shared_ptr<WireAnswerDelegate> delegate_ = std::make_shared<WireAnswerDelegate>();
    std::shared_ptr<MSRETaskManager> taskManager_;
};

TEST_F(WireRefusedAnswerTest, AnAnswerPastAnyBoundIsRefusedAndTheStoredSnapshotsStay) {
    // Snapshots, or library answers with a snapshot each, named apart.
    auto snapshots = [](size_t count) {
        std::vector<MSRPBSnapshot> list;
        for (size_t i = 0; i < count; ++i) list.push_back(snapshot("lib" + std::to_string(i), {7}).proto());
        MSRPBExperimentResponse message;
        MSRPBSetMessageArray(message, MSRExperimentResponseSlot::kSnapshots, std::move(list));
        return gzipped(message);
    };
    auto libraries = [](size_t count) {
        std::vector<MSRPBSdkResponse> list(count);
        for (size_t i = 0; i < count; ++i) {
            MSRPBSetString(list[i], MSRSdkResponseSlot::kSDKName, "lib" + std::to_string(i));
            MSRPBSetMessage(list[i], MSRSdkResponseSlot::kSnapshot, snapshot("lib", {7}).proto());
        }
        MSRPBExperimentResponse message;
        MSRPBSetMessageArray(message, MSRExperimentResponseSlot::kSdkResponses, std::move(list));
        return gzipped(message);
    };
    // Empty snapshots, two bytes each: 8 MB inflated.
    std::vector<uint8_t> emptySnapshots;
    for (size_t i = 0; i < 4'000'000; ++i) emptySnapshots.insert(emptySnapshots.end(), {0x0a, 0x00});
    // A library's snapshot sent again and again in its one answer.
    std::vector<uint8_t> repeatedSnapshot = {0x12, 0x00};
    {
        std::vector<uint8_t> library;
        for (size_t i = 0; i < 12'000; ++i) library.insert(library.end(), {0x1a, 0x00});
        repeatedSnapshot = {0x12};
        size_t length = library.size();
        while (length >= 0x80) {
            repeatedSnapshot.push_back(static_cast<uint8_t>(length | 0x80));
            length >>= 7;
        }
        repeatedSnapshot.push_back(static_cast<uint8_t>(length));
        repeatedSnapshot.insert(repeatedSnapshot.end(), library.begin(), library.end());
    }

    answerWith(gzipped([] {
        MSRPBExperimentResponse message;
        MSRPBSetMessageArray(message, MSRExperimentResponseSlot::kSnapshots,
                             std::vector<MSRPBSnapshot>{snapshot("kept", {0, 5}).proto()});
        return message;
    }()));
    taskManager_ = makeTaskManager();
    taskManager_->setDelegate(delegate_);
    taskManager_->startTaskManager();
    settle();
    nextFetch();
    ASSERT_EQ(delegate_->fetched, std::vector<size_t>{1});

    const struct {
        const char* name;
        std::vector<uint8_t> body;
        int64_t refusal;  // 0: taken
        size_t stored;    // pending snapshots afterwards
    } cases[] = {
        {"101 snapshots", snapshots(101), 820034, 1},
        {"4,000,000 empty snapshots", gzippedBytes(emptySnapshots), 820034, 1},
        {"101 library answers", libraries(101), 820035, 1},
        {"a library's snapshot sent 12,000 times", gzippedBytes(repeatedSnapshot), 820036, 1},
        {"100 snapshots", snapshots(100), 0, 101},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t told = delegate_->fetched.size();
        answerWith(c.body);
        codes();
        nextFetch();
        const std::vector<int64_t> logged = codes();
        auto pending = taskManager_->database()->fetchAllPendingSnapshots(nullptr);
        ASSERT_TRUE(pending);
        EXPECT_EQ(pending->size(), c.stored);
        const auto kept = std::find_if(pending->begin(), pending->end(),
                                       [](const MSRESnapshot& s) { return s.SDKName() == "kept"; });
        ASSERT_NE(kept, pending->end());
        EXPECT_EQ(ids(*kept), (std::vector<int64_t>{0, 5}));
        if (c.refusal) {
            EXPECT_EQ(std::count(logged.begin(), logged.end(), c.refusal), 1);
            EXPECT_EQ(delegate_->fetched.size(), told);
            EXPECT_GT(stamps_->doubleForKey(MSRETaskManager::kFailureKey), 0);
        } else {
            EXPECT_EQ(delegate_->fetched.size(), told + 1);
        }
    }
}

// The snapshots of one answer are written together or not at all: a row the
// database refuses (here by a trigger) leaves none of the others behind.
TEST_F(WireRefusedAnswerTest, TheSnapshotsOfAnAnswerAreStoredInOneTransaction) {
    const std::string path = MSRSDKFilePath(MSREDatabase::kFileName);
    std::unique_ptr<MSREDatabase> database = MSREDatabase::initWithPath(path);
    ASSERT_TRUE(database);
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
    char* message = nullptr;
    const int created = sqlite3_exec(handle,
                                     "CREATE TRIGGER refuse_bad BEFORE INSERT ON pending_snapshot_table "
                                     "WHEN NEW.sdk_name = 'bad' BEGIN SELECT RAISE(ABORT, 'refused'); END",
                                     nullptr, nullptr, &message);
    const std::string cause = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(handle);
    ASSERT_EQ(created, SQLITE_OK) << cause;

    MSRError error;
    EXPECT_FALSE(database->upsertPendingExperimentSnapshots(
        {snapshot("first", {1}), snapshot("second", {2}), snapshot("bad", {3})}, &error));
    EXPECT_NE(error, MSRError());
    auto pending = database->fetchAllPendingSnapshots(nullptr);
    ASSERT_TRUE(pending);
    EXPECT_TRUE(pending->empty()) << pending->size() << " snapshots of a refused write kept";

    EXPECT_TRUE(database->upsertPendingExperimentSnapshots({snapshot("first", {1}), snapshot("second", {2})},
                                                           &error));
    pending = database->fetchAllPendingSnapshots(nullptr);
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->size(), 2u);
}

// A snapshot read back from the database is held to the bounds of the answer
// it came in: one stored past them (by an older build, or written there) is
// not built, and the table reads as one that does not decode.
TEST_F(WireRefusedAnswerTest, AStoredSnapshotPastTheBoundsOfAnAnswerIsNotBuilt) {
    const std::string path = MSRSDKFilePath(MSREDatabase::kFileName);
    std::unique_ptr<MSREDatabase> database = MSREDatabase::initWithPath(path);
    ASSERT_TRUE(database);
    for (const size_t experiments : {size_t{1000}, size_t{1001}}) {
        SCOPED_TRACE(experiments);
        std::vector<int64_t> list;
        for (size_t id = 1; id <= experiments; ++id) list.push_back(static_cast<int64_t>(id));
        // Written as a row, past the records' own checks.
        const std::vector<uint8_t> blob = *snapshot("stored", list).proto().protoBuffer();
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(handle,
                                     "INSERT OR REPLACE INTO pending_snapshot_table "
                                     "(sdk_name, snapshotProto, timestamp) VALUES ('stored', ?, 1)",
                                     -1, &statement, nullptr),
                  SQLITE_OK);
        sqlite3_bind_blob(statement, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
        sqlite3_finalize(statement);
        sqlite3_close(handle);
        codes();
        const auto pending = database->fetchAllPendingSnapshots(nullptr);
        const std::vector<int64_t> logged = codes();
        if (experiments > 1000) {
            EXPECT_FALSE(pending);
            EXPECT_TRUE(contains(logged, 820030));
        } else {
            ASSERT_TRUE(pending);
            ASSERT_EQ(pending->size(), 1u);
            EXPECT_EQ(pending->at(0).experiments().size(), experiments);
        }
    }
}

}  // namespace
