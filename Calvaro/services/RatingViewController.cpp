#include "Calvaro/services/RatingViewController.h"

#include <cmath>

#include "analytics/core/DEDIzurarove.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/AlertController.h"

namespace {

RatingViewController::Outlets& outlets() {
    static RatingViewController::Outlets instance;
    return instance;
}

std::shared_ptr<RatingViewController>& sharedSlot() {
    static std::shared_ptr<RatingViewController> instance;
    return instance;
}

foundation::UserDefaults defaults() { return foundation::UserDefaults::standard(); }

}  // namespace

void RatingViewController::setOutlets(Outlets newOutlets) { outlets() = std::move(newOutlets); }

RatingViewController& RatingViewController::shared() { return *sharedPointer(); }

std::shared_ptr<RatingViewController> RatingViewController::sharedPointer() {
    if (!sharedSlot()) sharedSlot() = std::make_shared<RatingViewController>();
    return sharedSlot();
}

void RatingViewController::resetShared() { sharedSlot().reset(); }

RatingViewController::RatingViewController() = default;

int64_t RatingViewController::counterForRating() {
    if (auto stored = defaults().integer(counterForRatingKey))
        counterForRating_ = *stored;
    else
        defaults().set(counterForRatingKey, counterForRating_);
    return counterForRating_;
}

void RatingViewController::setCounter(int64_t counter) {
    counterForRating_ = counter;
    defaults().set(counterForRatingKey, counter);
}

void RatingViewController::presentIfDue(const std::shared_ptr<ui::ViewController>& presenter) {
    if (defaults().boolValue(isRatingAlreadyDoneKey).value_or(false) || isShownInSession_) return;
    setCounter(counterForRating() - 1);
    if (counterForRating() >= 1) return;
    viewController_ = presenter;
    std::weak_ptr<ui::ViewController> weakSelf = weak_from_this();
    dispatch::MainQueue::shared()->async([weakSelf] {
        auto self = weakSelf.lock();
        auto presenting = self ? static_cast<RatingViewController&>(*self).viewController_.lock() : nullptr;
        if (!presenting) return;
        self->setModalPresentationStyle(ui::ModalPresentationStyle::overCurrentContext);
        presenting->present(self, true);
    });
}

// What the prompt's interface file holds: a dimmed background, a panel with
// the label, the stars and the two buttons.
void RatingViewController::loadView() {
    ui::ViewController::loadView();
    ui::View& root = *view();
    const double width = root.bounds().width();
    ratingBackgroundView_ = std::make_shared<ui::View>(root.bounds());
    ratingBackgroundView_->setTag(200);
    // What the nib draws: the screen dimmed (the tag makes it half
    // transparent) under a panel of its own that holds the prompt.
    ratingBackgroundView_->setBackgroundColor(ui::Color::black());
    root.addSubview(ratingBackgroundView_);
    ratingView_ = std::make_shared<ui::View>(ui::Rect(40, 300, width - 80, 200));
    ratingView_->setTag(102);
    ratingView_->setBackgroundColor(ui::Color::secondarySystemBackground());
    ratingLabel_ = std::make_shared<ui::Label>(ui::Rect(20, 16, width - 120, 24));
    ratingView_->addSubview(ratingLabel_);
    starRatingView_ = std::make_shared<StarRatingView>(ui::Rect(20, 60, width - 120, 40));
    starRatingView_->setTag(101);
    ratingView_->addSubview(starRatingView_);
    auto buttons = std::make_shared<ui::StackView>(ui::Rect(20, 130, width - 120, 48));
    cancelRatingButton_ = std::make_shared<kit::FlatButton>();
    cancelRatingButton_->setAccessibilityIdentifier("cancelRatingButton");
    sendRatingButton_ = std::make_shared<kit::FlatButton>();
    sendRatingButton_->setAccessibilityIdentifier("sendRatingButton");
    buttons->addArrangedSubview(cancelRatingButton_);
    buttons->addArrangedSubview(sendRatingButton_);
    ratingView_->addSubview(buttons);
    root.addSubview(ratingView_);

    const auto self = shared_from_this();
    cancelRatingButton_->addTarget(ui::ControlEvent::touchUpInside,
                                   ui::weakTarget(self, &RatingViewController::tappedCancelRatingButton));
    sendRatingButton_->addTarget(ui::ControlEvent::touchUpInside,
                                 ui::weakTarget(self, &RatingViewController::tappedSendRatingButton));
}

void RatingViewController::viewDidLoad() {
    if (outlets().applyColors) outlets().applyColors(*view());
    ratingView_->layer().cornerRadius = 2.0;
    sendRatingButton_->layer().cornerRadius = 2.0;
    cancelRatingButton_->layer().cornerRadius = 2.0;
    ratingView_->setClipsToBounds(true);
    ratingLabel_->setText(foundation::localizedString("Rate"));
    cancelRatingButton_->setTitle(foundation::localizedString("Cancel"));
    sendRatingButton_->setTitle(foundation::localizedString("Send"));
    isShownInSession_ = true;
}

void RatingViewController::viewDidLayoutSubviews() {
    if (outlets().applyCardStyle) outlets().applyCardStyle(*starRatingView_);
}

void RatingViewController::tappedCancelRatingButton() {
    DEDIzurarove::logEventWithName("tapped_rated_app_cancel");
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    dismiss(true, [weak] {
        if (auto self = weak.lock()) static_cast<RatingViewController&>(*self).setCounter(visitsBeforePrompt);
    });
}

void RatingViewController::tappedSendRatingButton() {
    const double rating = starRatingView_->rating();
    DEDIzurarove::logEventWithName("tapped_rated_app", DEDIzurarove::Parameters{{"app", appCode}, {"rating", rating}});
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    dismiss(true, [weak, rating] {
        auto self = std::static_pointer_cast<RatingViewController>(weak.lock());
        if (!self) return;
        if (std::isnan(rating) || rating < 4.0) {
            defaults().set(isRatingAlreadyDoneKey, true);
            self->showThanks();
            return;
        }
        auto presenter = self->viewController_.lock();
        if (!presenter || !outlets().checkInternetConnection) return;
        outlets().checkInternetConnection(
            *presenter,
            [weak] {
                auto alive = std::static_pointer_cast<RatingViewController>(weak.lock());
                if (!alive) return;
                if (auto on = alive->viewController_.lock(); on && outlets().rateApp) outlets().rateApp(*on);
                defaults().set(isRatingAlreadyDoneKey, true);
                alive->showThanks();
            },
            [weak] {
                if (auto alive = weak.lock()) static_cast<RatingViewController&>(*alive).setCounter(visitsBeforePrompt);
            });
    });
}

void RatingViewController::showThanks() {
    auto presenter = viewController_.lock();
    if (!presenter) return;
    auto alert = ui::AlertController::create(foundation::localizedString("Thanks"), "", ui::AlertControllerStyle::alert);
    alert->addAction(std::make_shared<ui::AlertAction>(foundation::localizedString("Close"),
                                                       ui::AlertActionStyle::defaultStyle));
    presenter->present(alert, true);
}
