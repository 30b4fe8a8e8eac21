// A full disk in virtual time: storing bundles backs off instead of being
// tried again at every event, what is stored goes out once space returns
// without a new event to wake the engine, and listeners hear only of events
// that reached the disk.

#include "MeasurementEventsHarness.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/storage/MSRWriteBackoff.h"
#include "tests/storage/FullDisk.h"

namespace {

constexpr const char* kEndpoint = "http://127.0.0.1:9";

class FullDiskTest : public MeasurementEventsHarness {
  protected:
    void SetUp() override {
        FullDisk::install();
        MSRRemoteConfig::setMeasurementURL(std::string(kEndpoint));
        MeasurementEventsHarness::SetUp();
        database().updateRemoteConfigSuccessfulTimestamp(now(), nullptr);
        network().setResponder([](const net::FakeNetwork::Request& request) {
            net::FakeNetwork::Reply reply;
            reply.statusCode = request.method == "GET" ? net::kHTTPStatusNotModified : 200;
            return reply;
        });
        runUntilIdle();
        network().clearRequests();
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
    // The names of the events posted so far, in order.
    std::vector<std::string> postedEvents() {
        std::vector<std::string> names;
        for (const auto& request : network().requests()) {
            if (request.method != "POST") continue;
            auto batch = MSRPBMeasurementBatch::initWithBuffer(request.payload);
            for (const auto& bundle : MSRPBGetMessageArray<MSRPBMeasurementBundle>(batch.value(), 0)) {
                for (const auto& event : MSRPBGetMessageArray<MSRPBEvent>(bundle, 1))
                    names.push_back(MSRPBGetString(event, 1).value_or(""));
            }
        }
        return names;
    }
};

TEST_F(FullDiskTest, StoringBundlesBacksOffAndWhatIsStoredGoesOutOnceSpaceReturns) {
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
    advanceBy(MSRMeasurement::kUploadSuspensionInterval + MSRWriteBackoff::kLongestDelay);
    std::vector<std::string> posted = postedEvents();
    EXPECT_EQ(std::multiset<std::string>(posted.begin(), posted.end()),
              std::multiset<std::string>(logged.begin(), logged.end()));
    EXPECT_TRUE(stored().empty());
    EXPECT_EQ(database().isQueuedBundleTableEmpty(nullptr), true);
}

TEST_F(FullDiskTest, ListenersHearOnlyOfEventsThatReachedTheDisk) {
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

}  // namespace
