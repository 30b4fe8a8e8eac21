#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "Calvaro/services/StarRatingView.h"
#include "platform/kit/Buttons.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"

// Asks for a star rating after a number of visits to the Calculate screen.
// Four stars or more lead, with a reachable network, to the store's rating
// page; any sent rating ends the prompting for good, cancelling postpones it.
// One shared instance; main thread only.
class RatingViewController : public ui::ViewController {
public:
    static constexpr const char* counterForRatingKey = "counterForRating";
    static constexpr const char* isRatingAlreadyDoneKey = "isRatingAlreadyDone";
    static constexpr int64_t visitsBeforePrompt = 5;
    static constexpr const char* appCode = "CV";

    // What the prompt uses of the screens above it; the screens install them.
    struct Outlets {
        std::function<void(ui::ViewController& presenter, std::function<void()> success, std::function<void()> failure)>
            checkInternetConnection;
        std::function<void(ui::ViewController& presenter)> rateApp;
        std::function<void(ui::View& root)> applyColors;
        std::function<void(StarRatingView& stars)> applyCardStyle;
    };
    static void setOutlets(Outlets outlets);

    static RatingViewController& shared();
    static std::shared_ptr<RatingViewController> sharedPointer();
    // Drops the shared prompt (a new process, for tests).
    static void resetShared();

    RatingViewController();

    // Counts one visit and, when it is due, queues the prompt on `presenter`.
    void presentIfDue(const std::shared_ptr<ui::ViewController>& presenter);
    // The countdown: the stored value when there is one, otherwise the
    // in-memory one, which is then stored.
    int64_t counterForRating();
    bool isShownInSession() const { return isShownInSession_; }

    void loadView() override;
    void viewDidLoad() override;
    void viewDidLayoutSubviews() override;

    void tappedCancelRatingButton();
    void tappedSendRatingButton();

    StarRatingView* starRatingView() const { return starRatingView_.get(); }
    ui::Label* ratingLabel() const { return ratingLabel_.get(); }
    kit::FlatButton* cancelRatingButton() const { return cancelRatingButton_.get(); }
    kit::FlatButton* sendRatingButton() const { return sendRatingButton_.get(); }

private:
    void setCounter(int64_t counter);
    void showThanks();

    std::shared_ptr<ui::View> ratingView_;
    std::shared_ptr<StarRatingView> starRatingView_;
    std::shared_ptr<ui::Label> ratingLabel_;
    std::shared_ptr<kit::FlatButton> cancelRatingButton_;
    std::shared_ptr<kit::FlatButton> sendRatingButton_;
    std::shared_ptr<ui::View> ratingBackgroundView_;
    bool isShownInSession_ = false;
    int64_t counterForRating_ = visitsBeforePrompt;
    std::weak_ptr<ui::ViewController> viewController_;
};
