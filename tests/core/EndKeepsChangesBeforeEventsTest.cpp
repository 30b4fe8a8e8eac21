// The application's end with a configuration's answer queued on the worker,
// then a user property, the user ID, its removal or a consent's "_npa", then
// an event: the answer's turn stores events ahead only of work whose order
// with them does not matter, so the event waits for the change and is stored
// with it. With nothing between, the event still goes ahead of the answer.
// In virtual time: the manual executor forces this order every run.

#include "AnswerAtTheEndHarness.h"
#include "analytics/model/MSRUserAttribute.h"

namespace {

class EndKeepsChangesBeforeEventsTest : public AnswerAtTheEndHarness {
  protected:
    // The user attributes the stored event "level_up" was written with, by
    // name (its value's text): its raw event's metadata, or the bundle an
    // upload made of it.
    std::map<std::string, std::string> attributesOfStoredEvent() {
        std::map<std::string, std::string> attributes;
        auto take = [&](const MSRPBMeasurementBundle& bundle) {
            for (const auto& attribute :
                 MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, MSRBundleSlot::kUserAttributes)) {
                const bool number = MSRPBHasField(attribute, MSRUserAttributeSlot::kIntValue);
                attributes[MSRPBGetString(attribute, MSRUserAttributeSlot::kName).value_or("")] =
                    number ? std::to_string(MSRPBGetInt64(attribute, MSRUserAttributeSlot::kIntValue))
                           : MSRPBGetString(attribute, MSRUserAttributeSlot::kStringValue).value_or("");
            }
        };
        database().allDataTypesFromTable("raw_events", -1, nullptr, [&](const MSRSqliteRow& row, MSRError*) {
            auto data = database().rawEventDataFromDictionary(&row, nullptr);
            if (!data || data->rawEvent().name() != "level_up") return true;
            if (auto metadata = database().queryRawEventsMetadataWithFingerprint(
                    static_cast<int64_t>(data->metadataFingerprint()), nullptr))
                take(*metadata);
            return true;
        });
        for (auto& [bundle, row] : database().queryBundlesWithCountLimit(1000, 1 << 30, nullptr).value_or(
                 std::vector<MSRQueuedBundle>{})) {
            for (const auto& event : MSRPBGetMessageArray<MSRPBEvent>(bundle, MSRBundleSlot::kEvents))
                if (MSRPBGetString(event, MSREventSlot::kName) == "level_up") take(bundle);
        }
        return attributes;
    }
    // Events "level_up" stored, raw or bundled.
    size_t storedLevelUps() {
        size_t count = stored("level_up").size();
        for (auto& [bundle, row] : database().queryBundlesWithCountLimit(1000, 1 << 30, nullptr).value_or(
                 std::vector<MSRQueuedBundle>{})) {
            for (const auto& event : MSRPBGetMessageArray<MSRPBEvent>(bundle, MSRBundleSlot::kEvents))
                count += MSRPBGetString(event, MSREventSlot::kName) == "level_up";
        }
        return count;
    }
    // As the facade makes them: a removal carries the number 0.
    static MSRUserAttribute attribute(const char* origin, const char* name, const char* value, double time) {
        return MSRUserAttribute::initWithOrigin(origin, name, *value ? MSRValue(std::string(value)) : MSRValue(0.0),
                                                time)
            .value();
    }
};

TEST_F(EndKeepsChangesBeforeEventsTest, AnEventHandedOverAfterAChangeIsStoredWithItWhenTheAnswerIsAhead) {
    enum class Change { none, setProperty, setUserID, removeProperty, withdrawAdPersonalization };
    struct Case {
        const char* name;
        Change change;
        bool aheadOfTheAnswer;  // the event is committed by the answer's turn
        std::map<std::string, std::string> attributes;
    };
    const Case cases[] = {
        {"nothing between the answer and the event", Change::none, true, {{"level", "1"}}},
        {"a user property set", Change::setProperty, false, {{"level", "2"}}},
        {"the user ID set", Change::setUserID, false, {{"level", "1"}, {"_id", "u-7"}}},
        {"a user property removed", Change::removeProperty, false, {}},
        // What a withdrawn ad-personalization consent hands the worker.
        {"the ad-personalization consent withdrawn", Change::withdrawAdPersonalization, false,
         {{"level", "1"}, {"_npa", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restartWithAnExpiredConfiguration();
        execute("DELETE FROM raw_events; DELETE FROM queue; DELETE FROM user_attributes;");
        engine().setUserAttribute(attribute("app", "level", "1", now()));
        runUntilIdle();

        bool heard = false;  // the event committed, as a listener hears of it
        auto token = MSRAnalytics::addLogEventListener([&](const MSREvent& event) {
            if (event.name() == "level_up") heard = true;
        });
        // The answer reaches the worker first, the change behind it, the
        // event last; then the application ends.
        queueTheAnswer();
        switch (c.change) {
            case Change::none: break;
            case Change::setProperty: engine().setUserAttribute(attribute("app", "level", "2", now())); break;
            case Change::setUserID: engine().setUserAttribute(attribute("app", "_id", "u-7", now())); break;
            case Change::removeProperty: engine().removeUserAttribute(attribute("", "level", "", now())); break;
            case Change::withdrawAdPersonalization:
                engine().setUserAttribute(
                    MSRUserAttribute::initWithOrigin("auto", "_npa", MSRValue(int64_t{1}), now()).value());
                break;
        }
        engine().logEvent("app", true, "level_up", {{"n", MSRValue(int64_t{1})}}, now(), true, false, false, {},
                          std::nullopt);
        endTheApplication();

        runToTheAnswersTurn();
        EXPECT_EQ(heard, c.aheadOfTheAnswer) << "committed by the answer's turn";
        // Read before an upload bundles it.
        while (storedLevelUps() == 0 && executor().runOne()) {
        }
        ASSERT_EQ(storedLevelUps(), 1u);
        EXPECT_EQ(attributesOfStoredEvent(), c.attributes) << "the user attributes the event was stored with";
        runUntilIdle();
        EXPECT_TRUE(heard);
        MSRAnalytics::removeLogEventListener(token);
    }
}

}  // namespace
