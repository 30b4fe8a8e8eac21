// Storage that fails under the engine, in virtual time. A full disk: storing
// bundles backs off instead of being tried again at every event, what is
// stored goes out once space returns without a new event to wake the engine,
// and listeners hear only of events that reached the disk. A damaged file:
// the engine starts, and what SQLite can still read of it is uploaded.

#include <cstdio>
#include <fstream>
#include <set>

#include "MeasurementEventsHarness.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/storage/MSRWriteBackoff.h"
#include "tests/storage/FullDisk.h"

namespace {

constexpr const char* kEndpoint = "http://127.0.0.1:9";
// Sending what waits takes about a dozen blocks; an engine that keeps
// bundling the same events never stops queuing more.
constexpr size_t kMostBlocksToSendWhatIsStored = 60;

class StorageFailureTest : public MeasurementEventsHarness {
  protected:
    void SetUp() override {
        FullDisk::install();
        MSRRemoteConfig::setMeasurementURL(std::string(kEndpoint));
        MeasurementEventsHarness::SetUp();
        database().updateRemoteConfigSuccessfulTimestamp(now(), nullptr);
        acceptPosts();
        runUntilIdle();
        network().clearRequests();
    }
    void acceptPosts() {
        network().setResponder([](const net::FakeNetwork::Request& request) {
            net::FakeNetwork::Reply reply;
            reply.statusCode = request.method == "GET" ? net::kHTTPStatusNotModified : 200;
            return reply;
        });
    }
    void TearDown() override {
        FullDisk::setFull(false);
        MeasurementEventsHarness::TearDown();
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
    }

    // Bundles whose commit the disk refused since the last call.
    int refusedBundles() {
        int count = 0;
        for (const std::string& line : monitor_.takeLines()) {
            count += line.find("I-MSR012056") != std::string::npos &&
                     line.find("Failed to end transaction") != std::string::npos;
        }
        return count;
    }
    // The events posted so far, in order: their names, and after a colon
    // their parameter "n" where they have one.
    std::vector<std::string> postedEvents() {
        std::vector<std::string> events;
        for (const auto& request : network().requests()) {
            if (request.method != "POST") continue;
            auto batch = MSRPBMeasurementBatch::initWithBuffer(request.payload);
            for (const auto& bundle : MSRPBGetMessageArray<MSRPBMeasurementBundle>(batch.value(), 0)) {
                for (const auto& event : MSRPBGetMessageArray<MSRPBEvent>(bundle, 1)) {
                    std::string key = MSRPBGetString(event, 1).value_or("");
                    for (const auto& param : MSRPBGetMessageArray<MSRPBEventParam>(event, 0)) {
                        if (MSRPBGetString(param, 0) == "n") key += ":" + std::to_string(MSRPBGetInt64(param, 2));
                    }
                    events.push_back(key);
                }
            }
        }
        return events;
    }
};

TEST_F(StorageFailureTest, StoringBundlesBacksOffAndWhatIsStoredGoesOutOnceSpaceReturns) {
    std::vector<std::string> logged;
    for (int i = 0; i < 20; ++i) log(logged.emplace_back("stored_" + std::to_string(i)));
    FullDisk::Scope full;
    refusedBundles();

    // The upload comes due and its bundle cannot be stored; later events
    // (lost themselves) must not make it try again each time.
    advanceBy(60);
    int attempts = refusedBundles();
    EXPECT_GE(attempts, 1);
    for (int i = 0; i < 50; ++i) {
        log("lost_" + std::to_string(i));
        advanceBy(0.1);
    }
    EXPECT_EQ(refusedBundles(), 0) << "a bundle was tried again at an event";
    // Left alone, the attempts come further and further apart.
    advanceBy(3600);
    attempts = refusedBundles();
    EXPECT_GE(attempts, 3);
    EXPECT_LE(attempts, 3600 / MSRWriteBackoff::kLongestDelay + 6);
    EXPECT_TRUE(postedEvents().empty());

    // Space returns: the stored events go out with no new event to wake the
    // engine, at the latest once the suspension that the configuration's
    // refused time stamp (it expired meanwhile) imposes has ended.
    FullDisk::setFull(false);
    ASSERT_TRUE(advanceByRunningAtMost(MSRMeasurement::kUploadSuspensionInterval + MSRWriteBackoff::kLongestDelay,
                                       kMostBlocksToSendWhatIsStored))
        << "the engine kept working without end; posted so far: " << postedEvents().size() << " events";
    std::vector<std::string> posted = postedEvents();
    EXPECT_EQ(std::multiset<std::string>(posted.begin(), posted.end()),
              std::multiset<std::string>(logged.begin(), logged.end()));
    EXPECT_TRUE(stored().empty());
    EXPECT_EQ(database().isQueuedBundleTableEmpty(nullptr), true);
}

TEST_F(StorageFailureTest, ListenersHearOnlyOfEventsThatReachedTheDisk) {
    std::vector<std::string> heard;
    auto token = MSRAnalytics::addLogEventListener([&](const MSREvent& event) { heard.push_back(event.name()); });
    struct Case {
        const char* name;
        bool full;
        std::vector<std::string> events;  // logged together, one commit
    };
    const Case cases[] = {
        {"one event on a full disk", true, {"alone"}},
        {"a burst whose one commit fails", true, {"a", "b", "c", "d"}},
        {"space again", false, {"e", "f"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        heard.clear();
        FullDisk::setFull(c.full);
        size_t before = stored().size();
        for (const std::string& name : c.events)
            engine().logEvent("app", true, name, {}, now(), true, false, false, {}, std::nullopt);
        runUntilIdle();
        FullDisk::setFull(false);
        size_t added = stored().size() - before;
        EXPECT_EQ(added, c.full ? 0u : c.events.size());
        EXPECT_EQ(heard, c.full ? std::vector<std::string>{} : c.events);
    }
    MSRAnalytics::removeLogEventListener(token);
}

TEST_F(StorageFailureTest, OnePageOverwrittenInADatabaseOf3000EventsLosesOnlyTheEventsOnIt) {
    // Stored while the network is away, so that all wait as raw events.
    network().setNetworkConnected(false);
    std::set<std::string> logged;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "level_" + std::to_string(i % 30);
        logged.insert(name + ":" + std::to_string(i));
        engine().logEvent("app", true, name, {{"n", MSRValue(int64_t{i})}}, now(), true, false, false, {},
                          std::nullopt);
    }
    runUntilIdle();
    ASSERT_EQ(stored().size(), 3000u);
    stopEngine();

    // One page of waiting events in the middle of the file overwritten.
    const std::string path = MSRSDKFilePath(MSRMeasurement::kDatabaseName);
    int page = 0, cells = 0;
    FILE* pipe = popen(("sqlite3 '" + path +
                        "' \"SELECT pageno, ncell FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf' "
                        "ORDER BY pageno LIMIT 1 OFFSET 15\"")
                           .c_str(),
                       "r");
    ASSERT_TRUE(pipe);
    ASSERT_EQ(std::fscanf(pipe, "%d|%d", &page, &cells), 2);
    pclose(pipe);
    ASSERT_GT(cells, 0);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(page - 1) * 4096) << std::string(4096, '\x5a');
    }

    startEngine(options_);
    ASSERT_TRUE(engine().didInitializeComponents());
    acceptPosts();
    ASSERT_TRUE(advanceByRunningAtMost(3600, kMostBlocksToSendWhatIsStored))
        << "the engine kept working without end; posted so far: " << postedEvents().size() << " events";
    std::vector<std::string> posted = postedEvents();
    std::set<std::string> unique(posted.begin(), posted.end());
    EXPECT_EQ(unique.size(), posted.size()) << "an event was sent twice";
    for (const std::string& name : unique) EXPECT_TRUE(logged.count(name)) << name;
    EXPECT_EQ(posted.size(), 3000u - static_cast<size_t>(cells));
    EXPECT_TRUE(stored().empty());
    EXPECT_TRUE(std::filesystem::exists(path + ".damaged-1"));
}

}  // namespace
