// The places of the event road: every copy of a waiting event holds one, the
// place comes back exactly once, a caller at the limit waits until the worker
// has made room, and one that may not wait is never held.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "FacadeHarness.h"
#include "MeasurementEventsHarness.h"
#include "analytics/core/MSREventBacklog.h"

namespace {

bool neverWait() { return false; }

}  // namespace

TEST(EventBacklogTest, EachCopyHoldsOnePlaceAndGivesItBackOnce) {
    struct BacklogTicketCase {
        const char* what;
        // Answers the places held while its tickets are still alive.
        std::function<size_t(MSREventBacklog&)> run;
        size_t held;
    };
    const std::vector<BacklogTicketCase> cases = {
        {"copied", [](MSREventBacklog& b) { auto t = b.admit(neverWait), copy = t; return b.held(); }, 2},
        {"moved", [](MSREventBacklog& b) { auto t = b.admit(neverWait), moved = std::move(t); return b.held(); }, 1},
        {"released twice",
         [](MSREventBacklog& b) {
             auto t = b.admit(neverWait), other = b.admit(neverWait);
             t.release();
             t.release();
             return b.held();
         },
         1},
    };
    for (const auto& c : cases) {
        MSREventBacklog backlog(4);
        EXPECT_EQ(c.run(backlog), c.held) << c.what;
        EXPECT_EQ(backlog.held(), 0u) << c.what << ": a place was not given back";
    }
    // A caller that may not wait (the worker logging its own error events)
    // takes its place over the limit, and is asked only once all are taken.
    MSREventBacklog backlog(2);
    int asked = 0;
    std::vector<MSREventBacklog::Ticket> tickets;
    for (int i = 0; i < 4; ++i) tickets.push_back(backlog.admit([&] { return ++asked, false; }));
    EXPECT_EQ(backlog.held(), 4u);
    EXPECT_EQ(asked, 2);
}

TEST(EventBacklogTest, AHeldCallerGoesOnOnceTheBacklogIsDownToHalf) {
    constexpr size_t kLimit = 8;
    // A wait far longer than the test, so that the room, not the bound, lets
    // the caller go.
    MSREventBacklog backlog(kLimit, std::chrono::minutes(10));
    std::vector<MSREventBacklog::Ticket> tickets;
    for (size_t i = 0; i < kLimit; ++i) tickets.push_back(backlog.admit(neverWait));
    std::atomic<int> asked{0};
    std::optional<size_t> heldOnceAdmitted;
    std::thread caller([&] {
        MSREventBacklog::Ticket place = backlog.admit([&] { return ++asked, true; });
        heldOnceAdmitted = backlog.held();
    });
    // The caller found every place taken before anything was given back.
    while (asked.load() == 0) std::this_thread::yield();
    while (!tickets.empty()) tickets.pop_back();
    caller.join();
    ASSERT_TRUE(heldOnceAdmitted);
    EXPECT_LE(*heldOnceAdmitted, kLimit / 2 + 1) << "the caller went on before the backlog was down to half";
    EXPECT_EQ(backlog.held(), 0u);
}

TEST(EventBacklogTest, AHeldCallerGoesOnWhenTheRoadStopsMoving) {
    MSREventBacklog backlog(2);
    auto first = backlog.admit(neverWait);
    auto second = backlog.admit(neverWait);
    std::atomic<bool> roadOpen{true};
    std::atomic<int> asked{0};
    std::thread caller([&] {
        MSREventBacklog::Ticket place = backlog.admit([&] { return ++asked, roadOpen.load(); });
        EXPECT_TRUE(place.holdsPlace());
        EXPECT_EQ(backlog.held(), 3u);
    });
    while (asked.load() == 0) std::this_thread::yield();
    roadOpen = false;  // as when the operation gate is held shut
    caller.join();
    EXPECT_EQ(backlog.held(), 2u);
}

// A road that does not move (a worker held up) holds each caller at most the
// short bound, and only the first: the others take their places over the
// limit at once, and no event is turned away. Once a place comes back, a
// caller at the limit waits for room again.
TEST(EventBacklogTest, ARoadThatDoesNotMoveIsWaitedForOnceAndLosesNothing) {
    constexpr int kCalls = 10000;
    MSREventBacklog backlog(2, std::chrono::milliseconds(20));
    std::vector<MSREventBacklog::Ticket> taken;
    for (int i = 0; i < 2; ++i) taken.push_back(backlog.admit(neverWait));
    std::atomic<int> asked{0};
    std::atomic<bool> giveUp{false};  // lets callers of a backlog that never gives up go
    auto mayWait = [&] { return ++asked, !giveUp.load(); };
    std::vector<MSREventBacklog::Ticket> admitted;
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    std::thread caller([&] {
        for (int i = 0; i < kCalls; ++i) admitted.push_back(backlog.admit(mayWait));
        std::lock_guard lock(doneMutex);
        done = true;
        doneChanged.notify_all();
    });
    {
        // Each call waiting its bound would take minutes; a bounded look.
        std::unique_lock lock(doneMutex);
        if (!doneChanged.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) {
            ADD_FAILURE() << "the callers kept waiting for a road that does not move";
            giveUp = true;
        }
    }
    caller.join();
    EXPECT_EQ(admitted.size(), static_cast<size_t>(kCalls));
    EXPECT_EQ(backlog.held(), static_cast<size_t>(kCalls) + 2) << "every event keeps its place";
    EXPECT_LE(asked.load(), 10) << "only the first caller waited";

    // The road moves again: the next caller at the limit may wait once more.
    taken.pop_back();
    const int before = asked.load();
    admitted.push_back(backlog.admit([&] { return ++asked, false; }));
    EXPECT_EQ(asked.load(), before + 1);
    admitted.clear();
    taken.clear();
    EXPECT_EQ(backlog.held(), 0u);
}

// The engine gives an event's place back once the worker has handled it,
// whether the event was stored or dropped, and not before.
class EventBacklogRoadTest : public MeasurementEventsHarness {};

TEST_F(EventBacklogRoadTest, ThePlaceComesBackOnceTheWorkerHandledTheEvent) {
    struct BacklogRoadCase {
        const char* what;
        int32_t publicEventsToday;
        size_t stored;
    };
    const std::vector<BacklogRoadCase> cases = {
        {"stored", 0, 1},
        {"over the day's cap of public events", 50000, 0},
    };
    for (const auto& c : cases) {
        execute("DELETE FROM raw_events");
        setCounts(c.publicEventsToday, c.publicEventsToday, 0);
        MSREventBacklog backlog(4);
        engine().logAdmittedEvent("app", true, "level_up", {{"level", foundation::Value(3)}}, now(), true, false,
                                  false, {}, std::nullopt, backlog.admit(neverWait));
        EXPECT_EQ(backlog.held(), 1u) << c.what;
        runUntilIdle();
        EXPECT_EQ(backlog.held(), 0u) << c.what;
        EXPECT_EQ(stored("level_up").size(), c.stored) << c.what;
    }
}

// The facade's log call takes the place and hands it along its queues to the
// engine: held while the event waits, back once the engine has it.
TEST_F(FacadeTest, ALoggedEventHoldsItsPlaceUntilTheEngineHasIt) {
    start();
    MSREventBacklog& backlog = MSREventBacklog::shared();
    const size_t before = backlog.held();
    // One event: a second call's wait on the timestamp queue would run the
    // first one's queued work.
    MSRAnalytics::logEventWithName("first", {});
    EXPECT_EQ(backlog.held(), before + 1);
    settle();
    EXPECT_EQ(eventNames(), (std::vector<std::string>{"first"}));
    EXPECT_EQ(backlog.held(), before);
}
