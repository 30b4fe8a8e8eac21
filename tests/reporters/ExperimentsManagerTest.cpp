// The experiments manager and its clients: activation of a fetched snapshot,
// flag lookups activated -> launched -> default, what the next start finds.

#include <gtest/gtest.h>

#include "ExperimentsHarness.h"

namespace {

class RecordingObserver : public MSREExperimentObserverDelegate {
  public:
    explicit RecordingObserver(bool receives = true) : receives_(receives) {}
    bool receivesNewSnapshots() const override { return receives_; }
    void clientDidReceiveNewSnapshot(MSREClient&) override { ++newSnapshots; }
    void clientDidReceiveFetchError(MSREClient&, const MSRError& error) override {
        errors.push_back(error.code());
    }
    std::optional<bool> shouldFetchExperimentsForClient(MSREClient&) override { return std::nullopt; }

    int newSnapshots = 0;
    std::vector<int64_t> errors;

  private:
    bool receives_;
};

class ExperimentsManagerTest : public ExperimentsTest {
  protected:
    std::shared_ptr<MSREManagerImpl> startManager() {
        auto manager = MSREManagerImpl::initWithTaskManager(makeTaskManager());
        manager->start();
        settle();
        return manager;
    }
    // The manager's first fetch, answered with `ids` for `sdk`.
    void fetch(const std::string& sdk, const std::vector<int64_t>& ids) {
        MSRPBExperimentResponse response;
        MSRPBSetMessageArray(response, MSRExperimentResponseSlot::kSnapshots,
                             std::vector<MSRPBSnapshot>{snapshot(sdk, ids).proto()});
        net::FakeNetwork::Reply reply;
        reply.body = gzipped(response);
        network_->enqueueReply(reply);
        executor().advanceBy(10);
        settle();
    }
    static std::optional<MSREFlagValue> integer(int64_t value) { return MSREFlagValue(value); }
};

TEST_F(ExperimentsManagerTest, ActivationMovesLaunchedFlagsAsideAndLookupsFallBackInOrder) {
    auto manager = startManager();
    auto property = MSRESDKProperty::initWithName("lib");
    auto client = manager->registerSDKProperty(property, {{"shared", MSREFlagValue(int64_t{-1})},
                                                          {"only_default", MSREFlagValue(std::string("d"))}});
    ASSERT_TRUE(client);
    auto observer = std::make_shared<RecordingObserver>();
    client->setDelegate(observer);
    // Registration is queued before the lookup on the same queue.
    EXPECT_EQ(client->valueForFlag("shared"), integer(-1));
    EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("lib"), -2);

    fetch("lib", {0, 5, 7});
    EXPECT_EQ(observer->newSnapshots, 1);
    // Fetched, not yet active.
    EXPECT_EQ(client->valueForFlag("shared"), integer(-1));
    EXPECT_TRUE(manager->experimentIDs().empty());

    MSRError error;
    ASSERT_TRUE(client->activateLatestSnapshot(&error));
    EXPECT_FALSE(client->activateLatestSnapshot(&error));  // nothing waits any more
    EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{5, 7}));
    EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("lib"), 0);

    struct Lookup {
        const char* flag;
        std::optional<MSREFlagValue> beforeReset;
        std::optional<MSREFlagValue> afterReset;
    };
    const Lookup lookups[] = {
        {"shared", integer(5), integer(0)},  // activated, then launched
        {"flag_7", integer(7), std::nullopt},
        {"flag_0", integer(0), integer(0)},
        {"only_default", MSREFlagValue(std::string("d")), MSREFlagValue(std::string("d"))},
        {"unknown", std::nullopt, std::nullopt},
    };
    for (const Lookup& lookup : lookups)
        EXPECT_EQ(client->valueForFlag(lookup.flag), lookup.beforeReset) << lookup.flag;
    client->resetToDefaults();
    for (const Lookup& lookup : lookups)
        EXPECT_EQ(client->valueForFlag(lookup.flag), lookup.afterReset) << lookup.flag;
    EXPECT_TRUE(manager->experimentIDs().empty());

    // The database followed: launched 0, nothing activated after the reset.
    settle();
    auto* database = manager->taskManager()->database();
    EXPECT_EQ(ids(database->fetchAllLaunchedSnapshots(nullptr)->at(0)), std::vector<int64_t>{0});
    EXPECT_TRUE(database->fetchAllActivatedSnapshots(nullptr)->empty());
    EXPECT_TRUE(database->fetchAllPendingSnapshots(nullptr)->empty());
}

TEST_F(ExperimentsManagerTest, TheNextStartActivatesWhatTheLastRunLeft) {
    {
        auto manager = startManager();
        auto manual = manager->registerSDKProperty(MSRESDKProperty::initWithName("manual"), {});
        auto automatic = manager->registerSDKProperty(MSRESDKProperty::initWithName("automatic"), {});
        auto observer = std::make_shared<RecordingObserver>(true);
        auto passive = std::make_shared<RecordingObserver>(false);
        manual->setDelegate(observer);
        automatic->setDelegate(passive);
        MSRPBExperimentResponse response;
        MSRPBSetMessageArray(response, MSRExperimentResponseSlot::kSnapshots,
                             std::vector<MSRPBSnapshot>{snapshot("manual", {0, 5, 7}).proto(),
                                                        snapshot("automatic", {9}).proto()});
        net::FakeNetwork::Reply reply;
        reply.body = gzipped(response);
        network_->enqueueReply(reply);
        executor().advanceBy(10);
        settle();
        EXPECT_EQ(observer->newSnapshots, 1);
        EXPECT_EQ(passive->newSnapshots, 0);
    }
    settle();

    // A new process: the snapshot of the library that does not activate
    // itself is active from the start; the other waits for its client.
    auto manager = startManager();
    auto manual = manager->registerSDKProperty(MSRESDKProperty::initWithName("manual"), {});
    auto automatic = manager->registerSDKProperty(MSRESDKProperty::initWithName("automatic"), {});
    EXPECT_EQ(manager->experimentIDs(), std::vector<int64_t>{9});
    ASSERT_TRUE(manual->activateLatestSnapshot(nullptr));
    EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{5, 7, 9}));
    EXPECT_EQ(manual->valueForFlag("flag_0"), integer(0));

    // Four days on the activated snapshots are stale, and the next start drops them.
    executor().clock().advance(4 * 86400);
    EXPECT_TRUE(manual->hasStaleSnapshot());
    settle();
    auto later = startManager();
    EXPECT_TRUE(later->taskManager()->database()->fetchAllActivatedSnapshots(nullptr)->empty());
}

TEST_F(ExperimentsManagerTest, FetchErrorsReachTheirClientsAndReRegistrationReplacesDefaults) {
    auto manager = startManager();
    auto first =
        manager->registerSDKProperty(MSRESDKProperty::initWithName("lib"), {{"a", MSREFlagValue(1.5)}});
    auto second =
        manager->registerSDKProperty(MSRESDKProperty::initWithName("lib"), {{"a", MSREFlagValue(true)}});
    auto observer = std::make_shared<RecordingObserver>();
    second->setDelegate(observer);
    EXPECT_EQ(first->valueForFlag("a"), integer(1));
    EXPECT_TRUE(contains(codes(), 800003));
    EXPECT_EQ(manager->clientForSDKName("lib"), second);

    MSRPBSdkResponse failed;
    MSRPBSetString(failed, MSRSdkResponseSlot::kSDKName, "lib");
    MSRPBSetInt32(failed, MSRSdkResponseSlot::kStatus, 1);
    MSRPBExperimentResponse response;
    MSRPBSetMessageArray(response, MSRExperimentResponseSlot::kSdkResponses,
                         std::vector<MSRPBSdkResponse>{failed});
    net::FakeNetwork::Reply reply;
    reply.body = gzipped(response);
    network_->enqueueReply(reply);
    executor().advanceBy(10);
    settle();
    EXPECT_EQ(observer->errors, std::vector<int64_t>{-2});
    EXPECT_EQ(observer->newSnapshots, 0);
}

}  // namespace
