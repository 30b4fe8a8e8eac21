// The application's end with a configuration's answer queued on the worker
// ahead of events handed over before the end: the answer's turn stores the
// events first, then applies the answer. Before the end the answer is
// applied in its turn, ahead of the events.

#include "AnswerAtTheEndHarness.h"

namespace {

class EventsAheadAtTheEndTest : public AnswerAtTheEndHarness {};

TEST_F(EventsAheadAtTheEndTest, AConfigurationsAnswerAheadOfTheEventsWaitsForThemOnceTheApplicationEnds) {
    struct Case {
        const char* name;
        bool ends;
    };
    const Case cases[] = {
        {"the application goes on", false},
        {"the application ends", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restartWithAnExpiredConfiguration();

        std::vector<int64_t> heard;  // committed events, as listeners hear of them
        auto token = MSRAnalytics::addLogEventListener([&](const MSREvent& event) {
            if (event.name() == "level_up") heard.push_back(event.parameters().at("n").int64Value());
        });
        // The answer reaches the worker first, the events behind it.
        queueTheAnswer();
        for (int64_t n = 1; n <= 3; ++n)
            engine().logEvent("app", true, "level_up", {{"n", MSRValue(n)}}, now(), true, false, false, {},
                              std::nullopt);
        if (c.ends) endTheApplication();

        // Up to the answer's turn (it is applied either way), and no further.
        runToTheAnswersTurn();
        EXPECT_EQ(MSRPBGetInt64(database().queryMeasurementConfig(nullptr).value(), 0), 2);
        EXPECT_EQ(heard, std::vector<int64_t>(c.ends ? std::vector<int64_t>{1, 2, 3} : std::vector<int64_t>{}))
            << "committed by the answer's turn, in their order";
        runUntilIdle();
        EXPECT_EQ(heard, (std::vector<int64_t>{1, 2, 3})) << "each event once";
        MSRAnalytics::removeLogEventListener(token);
    }
}

}  // namespace
