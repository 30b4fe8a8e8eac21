// The fetch schedule in virtual time: the first fetch of a run, the 4-hour
// rhythm after a success, the back-off ladder after failures, the pause
// after 503, and answers that do not read as an experiment response.

#include <gtest/gtest.h>

#include "ExperimentsHarness.h"

namespace {

class ExperimentScheduleTest : public ExperimentsTest {
  protected:
    // Starts a task manager as a new process would, `created` being its creation time.
    void start() {
        created_ = now();
        taskManager_ = makeTaskManager();
        taskManager_->setDelegate(delegate_);
        taskManager_->startTaskManager();
        settle();
    }
    // The times (seconds after the start) of the next `count` requests, as
    // far as they come within `horizon` seconds.
    std::vector<double> requestTimes(size_t count, double horizon = 400000) {
        std::vector<double> times;
        while (times.size() < count) {
            const size_t before = network_->requests().size();
            const double limit = created_ + horizon - now();
            if (limit <= 0 ||
                !executor().runUntil([&] { return network_->requests().size() > before; }, limit))
                break;
            times.push_back(now() - created_);
            settle();
        }
        return times;
    }
    void replyWith(int status, std::vector<uint8_t> body = {}) {
        network_->setResponder([status, body](const net::FakeNetwork::Request&) {
            net::FakeNetwork::Reply reply;
            reply.statusCode = status;
            reply.body = body;
            return reply;
        });
    }
    MSRPBExperimentResponse response(const std::vector<int64_t>& experimentIDs) {
        MSRPBExperimentResponse message;
        MSRPBSetMessageArray(message, MSRExperimentResponseSlot::kSnapshots,
                             std::vector<MSRPBSnapshot>{snapshot("lib", experimentIDs).proto()});
        return message;
    }

    double created_ = 0;
    std::shared_ptr<RecordingTaskDelegate> delegate_ = std::make_shared<RecordingTaskDelegate>();
    std::shared_ptr<MSRETaskManager> taskManager_;
};

TEST_F(ExperimentScheduleTest, FirstFetchOfARunFollowsTheLastSuccess) {
    struct Case {
        const char* name;
        std::optional<double> successOffset;  // from now; none: never succeeded
        double expected;
    };
    const Case cases[] = {
        {"first run ever", std::nullopt, 10},
        {"success an hour ago", -3600, 3 * 3600},
        {"success stamped an hour ahead", 3600, 3 * 3600},
        {"success long ago", -10 * 86400, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stamps_->clearAllData();
        if (c.successOffset) stamps_->setDouble(now() + *c.successOffset, MSRETaskManager::kSuccessKey);
        replyWith(204);
        network_->clearRequests();
        start();
        EXPECT_EQ(requestTimes(1), std::vector<double>{c.expected});
        // After the success the rhythm is four hours.
        EXPECT_EQ(requestTimes(1, c.expected + 14400 + 1), std::vector<double>{c.expected + 14400});
        EXPECT_EQ(network_->requests().front().url, "https://experiments.invalid/sdk-exp");
        taskManager_.reset();
        settle();
    }
}

TEST_F(ExperimentScheduleTest, FailuresClimbTheLadderAndThenGiveUpForTheRun) {
    replyWith(500);
    start();
    EXPECT_EQ(requestTimes(8), (std::vector<double>{10, 1800, 5400, 12600, 27000, 55800, 113400}));
    // Given up: no fetch for the rest of the run, and the next one starts afresh.
    EXPECT_EQ(stamps_->objectForKey(MSRETaskManager::kSuccessKey), foundation::Value());

    // The next run fetches again 10 s after its start, and its ladder counts from its own start.
    taskManager_.reset();
    settle();
    start();
    EXPECT_EQ(requestTimes(2), (std::vector<double>{10, 1800}));
}

TEST_F(ExperimentScheduleTest, AFailureLongAfterTheLastSuccessStartsItsOwnLadder) {
    // Two days without a fetch: the ladder of the old success lies wholly in the past.
    stamps_->setDouble(now() - 2 * 86400, MSRETaskManager::kSuccessKey);
    replyWith(500);
    start();
    EXPECT_EQ(requestTimes(3), (std::vector<double>{10, 10 + 1800, 10 + 5400}));
}

TEST_F(ExperimentScheduleTest, OverloadedServerHoldsFetchesForTwelveHours) {
    for (int status : {503, 429}) {
        SCOPED_TRACE(status);
        stamps_->clearAllData();
        network_->clearRequests();
        replyWith(status);
        start();
        EXPECT_EQ(requestTimes(2), (std::vector<double>{10, 10 + 43200}));
        taskManager_.reset();
        settle();
    }
}

TEST_F(ExperimentScheduleTest, AClientThatDeclinesCountsAsASuccess) {
    delegate_->shouldFetch = false;
    start();
    executor().advanceBy(10 + 14400);
    EXPECT_EQ(delegate_->asked, 2);
    EXPECT_TRUE(network_->requests().empty());
    EXPECT_DOUBLE_EQ(stamps_->doubleForKey(MSRETaskManager::kSuccessKey), now());
}

TEST_F(ExperimentScheduleTest, AnswerThatDoesNotReadIsAFailureAndStoresNothing) {
    std::vector<uint8_t> bomb = *security::gzip(std::vector<uint8_t>(size_t{9} << 20, 0));
    struct Case {
        const char* name;
        std::vector<uint8_t> body;
    };
    const Case cases[] = {
        {"not gzip", {0x0a, 0x02, 0x08, 0x05}},
        {"gzip of no message", *security::gzip(std::vector<uint8_t>{0xff, 0xff, 0xff, 0xff})},
        {"inflates past the limit", bomb},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stamps_->clearAllData();
        network_->clearRequests();
        replyWith(200, c.body);
        start();
        EXPECT_EQ(requestTimes(2), (std::vector<double>{10, 1800}));
        EXPECT_EQ(stamps_->objectForKey(MSRETaskManager::kSuccessKey), foundation::Value());
        EXPECT_GT(stamps_->doubleForKey(MSRETaskManager::kFailureKey), 0);
        EXPECT_TRUE(taskManager_->database()->fetchAllPendingSnapshots(nullptr)->empty());
        EXPECT_TRUE(delegate_->fetched.empty());
        taskManager_.reset();
        settle();
    }

    // A good answer after them is stored and told, and clears the failure.
    replyWith(200, gzipped(response({0, 5})));
    start();
    requestTimes(1);
    ASSERT_EQ(delegate_->fetched, std::vector<size_t>{1});
    EXPECT_EQ(taskManager_->database()->fetchAllPendingSnapshots(nullptr)->size(), 1u);
    EXPECT_EQ(stamps_->objectForKey(MSRETaskManager::kFailureKey), foundation::Value());
    EXPECT_DOUBLE_EQ(stamps_->doubleForKey(MSRETaskManager::kSuccessKey), now());
}

}  // namespace

namespace {

TEST_F(ExperimentScheduleTest, WithoutAnEndpointNothingLeavesAndTheStampsStay) {
    stamps_->setDouble(now() - 86400, MSRETaskManager::kSuccessKey);
    auto taskManager = makeTaskManager(nullptr, "");
    taskManager->startTaskManager();
    executor().advanceBy(86400);
    EXPECT_TRUE(network_->requests().empty());
    EXPECT_EQ(stamps_->objectForKey(MSRETaskManager::kFailureKey), foundation::Value());
    EXPECT_DOUBLE_EQ(stamps_->doubleForKey(MSRETaskManager::kSuccessKey), now() - 2 * 86400);
}

}  // namespace

namespace {

// An answer of more experiments than any application takes part in is
// counted before any is built and refused whole, wherever they sit (in its
// snapshots or in its libraries' answers): the stored snapshot stays, and
// the schedule goes on as after a failure. The bound is written out here:
// read from the task manager, it would follow any change made to it.
TEST_F(ExperimentScheduleTest, AnAnswerOfTooManyExperimentsIsRefusedWhole) {
    constexpr int64_t kBound = 1000;
    auto idsUpTo = [](int64_t first, int64_t last) {
        std::vector<int64_t> ids;
        for (int64_t id = first; id <= last; ++id) ids.push_back(id);
        return ids;
    };
    // A library's answer carrying a snapshot of `ids`.
    auto bySdk = [&](const std::vector<std::vector<int64_t>>& snapshots) {
        std::vector<MSRPBSdkResponse> responses;
        for (const auto& ids : snapshots) {
            MSRPBSdkResponse sdkResponse;
            MSRPBSetString(sdkResponse, MSRSdkResponseSlot::kSDKName, "lib" + std::to_string(responses.size()));
            MSRPBSetMessage(sdkResponse, MSRSdkResponseSlot::kSnapshot, snapshot("lib", ids).proto());
            responses.push_back(std::move(sdkResponse));
        }
        MSRPBExperimentResponse message;
        MSRPBSetMessageArray(message, MSRExperimentResponseSlot::kSdkResponses, std::move(responses));
        return message;
    };
    replyWith(200, gzipped(response({0, 5})));
    start();
    requestTimes(1);
    ASSERT_EQ(delegate_->fetched, std::vector<size_t>{1});
    codes();

    struct Case {
        const char* name;
        MSRPBExperimentResponse answer;
        bool refused;
    };
    const Case cases[] = {
        {"one past the bound in a snapshot", response(idsUpTo(1, kBound + 1)), true},
        {"one past the bound over two libraries' answers", bySdk({idsUpTo(1, kBound / 2), idsUpTo(1, kBound / 2 + 1)}),
         true},
        {"as many as the bound", response(idsUpTo(0, kBound - 1)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t told = delegate_->fetched.size();
        const std::vector<int64_t> stored = ids(taskManager_->database()->fetchAllPendingSnapshots(nullptr)->at(0));
        replyWith(200, gzipped(c.answer));
        ASSERT_EQ(requestTimes(1).size(), 1u);
        const std::vector<int64_t> logged = codes();
        EXPECT_EQ(contains(logged, 820030), c.refused);
        auto pending = taskManager_->database()->fetchAllPendingSnapshots(nullptr);
        ASSERT_TRUE(pending);
        ASSERT_EQ(pending->size(), 1u);
        if (c.refused) {
            EXPECT_TRUE(contains(logged, 820002));
            EXPECT_EQ(ids(pending->at(0)), stored);
            EXPECT_EQ(delegate_->fetched.size(), told);
            EXPECT_GT(stamps_->doubleForKey(MSRETaskManager::kFailureKey), 0);
        } else {
            EXPECT_EQ(pending->at(0).experiments().size(), static_cast<size_t>(kBound));
            EXPECT_EQ(delegate_->fetched.size(), told + 1);
            EXPECT_EQ(stamps_->objectForKey(MSRETaskManager::kFailureKey), foundation::Value());
        }
    }
}

}  // namespace

namespace {

// Flags are bounded per experiment and per answer, by their count and their
// bytes, wherever the experiments sit, counted before any is built: an answer past any bound is refused
// whole with the bound's own text, the stored snapshot stays, and the
// schedule goes on as after a failure. The bounds are written out here.
TEST_F(ExperimentScheduleTest, AnAnswerOfTooManyFlagsIsRefusedWhole) {
    // One snapshot, or one library's answer, whose experiments hold as many
    // flags as `flagCounts` says, each flag named apart from the others.
    // With `valueBytes`, each flag holds a text of so many bytes instead of a number.
    auto answer = [](const std::vector<int>& flagCounts, bool inLibraryAnswer, size_t valueBytes = 0) {
        MSRPBSnapshot snapshot;
        MSRPBSetString(snapshot, MSRSnapshotSlot::kSDKName, "lib");
        std::vector<MSRPBExperiment> experiments;
        for (const int count : flagCounts) {
            std::vector<MSRPBFlag> flags;
            for (int i = 0; i < count; ++i) {
                flags.push_back(flag("f" + std::to_string(i), i));
                if (valueBytes) {
                    MSRPBClearField(flags.back(), MSRFlagSlot::kIntValue);
                    MSRPBSetString(flags.back(), MSRFlagSlot::kStringValue, std::string(valueBytes, 'v'));
                }
            }
            MSRPBExperiment experiment;
            MSRPBSetInt32(experiment, MSRExperimentSlot::kExperimentID, static_cast<int32_t>(experiments.size() + 1));
            MSRPBSetMessageArray(experiment, MSRExperimentSlot::kFlags, std::move(flags));
            experiments.push_back(std::move(experiment));
        }
        MSRPBSetMessageArray(snapshot, MSRSnapshotSlot::kExperiments, std::move(experiments));
        MSRPBExperimentResponse message;
        if (inLibraryAnswer) {
            MSRPBSdkResponse library;
            MSRPBSetString(library, MSRSdkResponseSlot::kSDKName, "lib");
            MSRPBSetMessage(library, MSRSdkResponseSlot::kSnapshot, snapshot);
            MSRPBSetMessageArray(message, MSRExperimentResponseSlot::kSdkResponses,
                                 std::vector<MSRPBSdkResponse>{library});
        } else {
            MSRPBSetMessageArray(message, MSRExperimentResponseSlot::kSnapshots,
                                 std::vector<MSRPBSnapshot>{snapshot});
        }
        return message;
    };
    const std::vector<int> tenFull(10, 1000);
    std::vector<int> tenFullAndOne = tenFull;
    tenFullAndOne.push_back(1);

    replyWith(200, gzipped(response({0, 5})));
    start();
    requestTimes(1);
    ASSERT_EQ(delegate_->fetched, std::vector<size_t>{1});
    monitor_.takeLines();

    struct Case {
        const char* name;
        MSRPBExperimentResponse answer;
        int64_t refusal;  // 0: taken
        const char* text;
        size_t flags;  // stored when taken
    };
    const Case cases[] = {
        {"1,001 flags in one experiment", answer({3, 1001}, false), 820031,
         "Fetched answer holds an experiment of too many flags", 0},
        {"1,001 flags in one experiment of a library's answer", answer({1001}, true), 820031,
         "Fetched answer holds an experiment of too many flags", 0},
        {"10,001 flags over eleven experiments", answer(tenFullAndOne, false), 820032,
         "Fetched answer holds too many flags", 0},
        {"10,001 flags in a library's answer", answer(tenFullAndOne, true), 820032,
         "Fetched answer holds too many flags", 0},
        // A flag named "f0" of a text of n bytes (past 2^14) takes n + 8 bytes.
        {"flags of 1 MiB and a byte", answer({1}, false, (size_t{1} << 20) - 7), 820033,
         "Fetched answer holds flags of too many bytes", 0},
        {"10,000 flags of 100 bytes each in a library's answer", answer(tenFull, true, 100), 820033,
         "Fetched answer holds flags of too many bytes", 0},
        {"flags of 1 MiB", answer({1}, false, (size_t{1} << 20) - 8), 0, nullptr, 1},
        {"1,000 flags in one experiment", answer({1000}, false), 0, nullptr, 1000},
        {"10,000 flags over ten experiments", answer(tenFull, true), 0, nullptr, 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t told = delegate_->fetched.size();
        const auto before = taskManager_->database()->fetchAllPendingSnapshots(nullptr);
        ASSERT_TRUE(before && before->size() == 1);
        replyWith(200, gzipped(c.answer));
        ASSERT_EQ(requestTimes(1).size(), 1u);
        std::vector<std::string> refusals;
        for (const std::string& line : monitor_.takeLines()) {
            for (const int64_t code : {820030, 820031, 820032, 820033})
                if (line.find("I-MSR" + std::to_string(code)) != std::string::npos) refusals.push_back(line);
        }
        auto pending = taskManager_->database()->fetchAllPendingSnapshots(nullptr);
        ASSERT_TRUE(pending);
        ASSERT_EQ(pending->size(), 1u);
        if (c.refusal) {
            ASSERT_EQ(refusals.size(), 1u);
            EXPECT_NE(refusals[0].find("I-MSR" + std::to_string(c.refusal)), std::string::npos) << refusals[0];
            EXPECT_NE(refusals[0].find(c.text), std::string::npos) << refusals[0];
            EXPECT_EQ(ids(pending->at(0)), ids(before->at(0)));
            EXPECT_EQ(delegate_->fetched.size(), told);
            EXPECT_GT(stamps_->doubleForKey(MSRETaskManager::kFailureKey), 0);
        } else {
            EXPECT_TRUE(refusals.empty()) << refusals[0];
            size_t flags = 0;
            for (const auto& experiment : pending->at(0).experiments()) flags += experiment.flags().size();
            EXPECT_EQ(flags, c.flags);
            EXPECT_EQ(delegate_->fetched.size(), told + 1);
            EXPECT_EQ(stamps_->objectForKey(MSRETaskManager::kFailureKey), foundation::Value());
        }
    }
}

}  // namespace
