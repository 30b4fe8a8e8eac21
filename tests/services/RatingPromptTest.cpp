#include <gtest/gtest.h>

#include "Calvaro/services/RatingViewController.h"
#include "TemporaryHome.h"
#include "analytics/core/DEDIzurarove.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/AlertController.h"

namespace {

class RatingPromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        RatingViewController::resetShared();
        previousSink_ = DEDIzurarove::setEventSink(
            [this](const std::string& name, const std::optional<DEDIzurarove::Parameters>& parameters) {
                events_.push_back(name);
                if (parameters && parameters->count("rating")) rating_ = parameters->at("rating").doubleValue();
            });
        RatingViewController::Outlets outlets;
        outlets.checkInternetConnection = [this](ui::ViewController&, std::function<void()> success,
                                                 std::function<void()> failure) {
            ++internetChecks_;
            (online_ ? success : failure)();
        };
        outlets.rateApp = [this](ui::ViewController&) { ++ratePagesOpened_; };
        RatingViewController::setOutlets(outlets);
    }

    void TearDown() override {
        executor_.runUntilIdle();
        RatingViewController::setOutlets({});
        RatingViewController::resetShared();
        DEDIzurarove::setEventSink(previousSink_);
    }

    // One appearance of the Calculate screen; true when the prompt is then shown.
    bool visit() {
        RatingViewController::shared().presentIfDue(presenter_);
        executor_.runUntilIdle();
        return presenter_->presentedViewController() == RatingViewController::sharedPointer();
    }
    // Visits until the prompt shows; the number of visits, 0 when it never did within `limit`.
    int visitsUntilPrompt(int limit = 10) {
        for (int i = 1; i <= limit; ++i)
            if (visit()) return i;
        return 0;
    }
    void send(double stars) {
        RatingViewController::shared().starRatingView()->setRating(stars);
        RatingViewController::shared().sendRatingButton()->tap();
        executor_.runUntilIdle();
    }
    static std::optional<int64_t> storedCounter() {
        return foundation::UserDefaults::standard().integer(RatingViewController::counterForRatingKey);
    }
    static bool done() {
        return foundation::UserDefaults::standard().boolValue(RatingViewController::isRatingAlreadyDoneKey).value_or(false);
    }
    std::shared_ptr<ui::AlertController> thanks() const {
        return std::dynamic_pointer_cast<ui::AlertController>(presenter_->presentedViewController());
    }

    TemporaryHome home_{"rating"};
    dispatch::ManualExecutor executor_;
    std::shared_ptr<ui::ViewController> presenter_ = std::make_shared<ui::ViewController>();
    DEDIzurarove::EventSink previousSink_;
    std::vector<std::string> events_;
    std::optional<double> rating_;
    bool online_ = true;
    int internetChecks_ = 0;
    int ratePagesOpened_ = 0;
};

TEST_F(RatingPromptTest, CountsDownFiveVisitsAndShowsOncePerProcess) {
    EXPECT_FALSE(visit());
    EXPECT_EQ(storedCounter(), 4);
    EXPECT_EQ(visitsUntilPrompt(), 4) << "the fifth visit in all";
    RatingViewController::shared().dismiss(false);
    executor_.runUntilIdle();
    EXPECT_EQ(visitsUntilPrompt(), 0) << "at most once per process";
    EXPECT_EQ(storedCounter(), 0);

    // Left unanswered, it comes back at the first visit of the next process.
    RatingViewController::resetShared();
    EXPECT_TRUE(visit());
}

TEST_F(RatingPromptTest, CancelPostponesByFiveVisits) {
    ASSERT_EQ(visitsUntilPrompt(), 5);
    RatingViewController::shared().cancelRatingButton()->tap();
    executor_.runUntilIdle();
    EXPECT_EQ(events_, std::vector<std::string>{"tapped_rated_app_cancel"});
    EXPECT_EQ(storedCounter(), 5);
    EXPECT_FALSE(presenter_->presentedViewController());
    RatingViewController::resetShared();
    EXPECT_EQ(visitsUntilPrompt(), 5);
}

TEST_F(RatingPromptTest, SentRatingEndsThePromptingOrWaitsForTheNetwork) {
    struct Case {
        double stars;
        bool online;
        bool done;
        int checks;
        int opened;
        bool thanked;
    } cases[] = {
        {3.5, false, true, 0, 0, true},
        {4.0, true, true, 1, 1, true},
        {5.0, false, false, 1, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stars);
        foundation::UserDefaults::standard().removeAll();
        RatingViewController::resetShared();
        internetChecks_ = ratePagesOpened_ = 0;
        online_ = c.online;
        ASSERT_EQ(visitsUntilPrompt(), 5);
        send(c.stars);
        ASSERT_FALSE(events_.empty());
        EXPECT_EQ(events_.back(), "tapped_rated_app");
        EXPECT_EQ(rating_, c.stars);
        EXPECT_EQ(done(), c.done);
        EXPECT_EQ(internetChecks_, c.checks);
        EXPECT_EQ(ratePagesOpened_, c.opened);
        EXPECT_EQ(static_cast<bool>(thanks()), c.thanked);
        EXPECT_EQ(thanks() ? thanks()->alertTitle() : "", c.thanked ? "Thanks" : "");
        EXPECT_EQ(storedCounter(), c.done ? 0 : 5);
        if (thanks()) thanks()->dismiss(false);
        executor_.runUntilIdle();
    }

    // Once done, visits no longer count.
    foundation::UserDefaults::standard().set(RatingViewController::isRatingAlreadyDoneKey, true);
    foundation::UserDefaults::standard().set(RatingViewController::counterForRatingKey, 3);
    RatingViewController::resetShared();
    EXPECT_EQ(visitsUntilPrompt(3), 0);
    EXPECT_EQ(storedCounter(), 3);
}

}  // namespace
