#include "Calvaro/services/OnboardViewController.h"

#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/Traits.h"

OnboardViewController::OnboardViewController(std::vector<OnboardPage> pages, OnboardAppearanceConfiguration appearance,
                                             std::function<void()> completion)
    : pages_(std::move(pages)), appearance_(std::move(appearance)), completion_(std::move(completion)) {}

void OnboardViewController::presentFrom(ui::ViewController& presenter, bool animated) {
    presenter.present(std::static_pointer_cast<ui::ViewController>(shared_from_this()), animated);
}

void OnboardViewController::loadView() {
    auto root = std::make_shared<ui::View>(ui::Screen::bounds());
    root->setBackgroundColor(appearance_.backgroundColor);
    setView(root);
    showPage();
}

// One page fills the view: image, title, text, then the buttons.
void OnboardViewController::showPage() {
    auto& root = view();
    if (page_) page_->removeFromSuperview();
    page_.reset();
    if (current_ >= pages_.size()) return;
    const OnboardPage& page = pages_[current_];
    const ui::Rect bounds = root->bounds();
    const double width = bounds.width() * 0.8;
    const double left = bounds.width() * 0.1;

    page_ = std::make_shared<ui::View>(bounds);
    auto image = std::make_shared<ui::ImageView>(ui::Image::named(page.imageName));
    image->setFrame(ui::Rect(left, bounds.height() * 0.12, width, bounds.height() * 0.4));
    image->setContentMode(appearance_.imageContentMode);
    page_->addSubview(image);

    if (!page.title.empty()) {
        auto title = std::make_shared<ui::Label>(ui::Rect(left, bounds.height() * 0.55, width, 40));
        title->setText(page.title);
        title->setFont(appearance_.titleFont);
        title->setTextColor(appearance_.titleColor);
        title->setTextAlignment(ui::TextAlignment::center);
        page_->addSubview(title);
    }
    auto text = std::make_shared<ui::Label>(ui::Rect(left, bounds.height() * 0.62, width, 120));
    text->setText(page.description);
    text->setFont(appearance_.textFont);
    text->setTextColor(appearance_.textColor);
    text->setTextAlignment(ui::TextAlignment::center);
    text->setNumberOfLines(0);
    page_->addSubview(text);

    auto advanceButton = std::make_shared<ui::Button>(ui::Rect(left, bounds.height() * 0.82, width, 50));
    advanceButton->setTitle(page.advanceButtonTitle);
    advanceButton->setAccessibilityIdentifier(advanceButtonIdentifier);
    if (appearance_.advanceButtonStyling) appearance_.advanceButtonStyling(*advanceButton);
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    advanceButton->addTarget(ui::ControlEvent::touchUpInside, [weak](ui::Control&) {
        if (auto self = std::static_pointer_cast<OnboardViewController>(weak.lock())) self->advance();
    });
    page_->addSubview(advanceButton);

    if (page.actionButtonTitle) {
        auto actionButton = std::make_shared<ui::Button>(ui::Rect(left, bounds.height() * 0.9, width, 40));
        actionButton->setTitle(*page.actionButtonTitle);
        if (appearance_.actionButtonStyling) appearance_.actionButtonStyling(*actionButton);
        auto action = page.action;
        actionButton->addTarget(ui::ControlEvent::touchUpInside, [action](ui::Control&) {
            if (action) action();
        });
        page_->addSubview(actionButton);
    }
    root->addSubview(page_);
}

void OnboardViewController::advance() {
    if (finished_) return;
    if (current_ + 1 < pages_.size()) {
        ++current_;
        showPage();
        return;
    }
    finished_ = true;
    // Keep this controller alive through the completion and the dismissal.
    auto self = shared_from_this();
    if (completion_) completion_();
    if (presentingViewController()) presentingViewController()->dismiss(true);
}
