#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Button.h"
#include "platform/ui/ViewController.h"

// The onboarding page kit: full-screen pages shown one after another, each
// with an image, a title, a text and an advance button; the last page's
// button ends the tour.

struct OnboardPage {
    std::string title;
    std::string imageName;
    std::string videoName;
    std::string description;
    std::string advanceButtonTitle;
    std::optional<std::string> actionButtonTitle;  // none: no action button
    std::function<void()> action;

    bool operator==(const OnboardPage& other) const {
        return title == other.title && imageName == other.imageName && videoName == other.videoName &&
               description == other.description && advanceButtonTitle == other.advanceButtonTitle &&
               actionButtonTitle == other.actionButtonTitle;
    }
};

struct OnboardAppearanceConfiguration {
    using ButtonStyling = std::function<void(ui::Button&)>;

    ui::Color tintColor;
    ui::Color titleColor;
    ui::Color textColor;
    ui::Color backgroundColor;
    ui::ContentMode imageContentMode = ui::ContentMode::center;
    ui::Font titleFont;
    ui::Font textFont;
    ButtonStyling advanceButtonStyling;  // none: the kit's own look
    ButtonStyling actionButtonStyling;
};

class OnboardViewController : public ui::ViewController {
public:
    static constexpr const char* advanceButtonIdentifier = "onboardAdvanceButton";

    OnboardViewController(std::vector<OnboardPage> pages, OnboardAppearanceConfiguration appearance,
                          std::function<void()> completion);

    // Presents the tour from `presenter` in the style set on this controller.
    void presentFrom(ui::ViewController& presenter, bool animated);

    const std::vector<OnboardPage>& pages() const { return pages_; }
    const OnboardAppearanceConfiguration& appearance() const { return appearance_; }
    size_t currentPageIndex() const { return current_; }

    // The advance button's tap: the next page, or after the last one the
    // completion and the tour's dismissal.
    void advance();

    void loadView() override;

private:
    void showPage();

    std::vector<OnboardPage> pages_;
    OnboardAppearanceConfiguration appearance_;
    std::function<void()> completion_;
    size_t current_ = 0;
    bool finished_ = false;
    std::shared_ptr<ui::View> page_;
};
