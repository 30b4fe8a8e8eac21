#include "Calvaro/services/KalAdsViewController.h"

#include "Calvaro/charts/palette/Palette.h"
#include "Calvaro/services/CalculationType.h"
#include "analytics/core/DEDIzurarove.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/kit/Icon.h"
#include "platform/ui/Traits.h"

namespace {

std::string replacingAll(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

}  // namespace

// What the screen's interface file holds: the image over the whole screen,
// the close button at the top right and the discount button below.
void KalAdsViewController::loadView() {
    ui::ViewController::loadView();
    ui::View& root = *view();
    const ui::Rect bounds = root.bounds();
    root.setBackgroundColor(ui::Color::systemBackground());
    adImageView_ = std::make_shared<ui::ImageView>(ui::Rect(0, 60, bounds.width(), bounds.height() - 200));
    adImageView_->setContentMode(ui::ContentMode::scaleAspectFit);
    root.addSubview(adImageView_);
    closeButton_ = std::make_shared<kit::IconButton>(kit::Icon::close());
    closeButton_->setFrame(ui::Rect(bounds.width() - 64, 40, 48, 48));
    closeButton_->setAccessibilityIdentifier("closeAdsButton");
    root.addSubview(closeButton_);
    discountButton_ = std::make_shared<kit::RaisedButton>();
    discountButton_->setFrame(ui::Rect(40, bounds.height() - 120, bounds.width() - 80, 56));
    discountButton_->setAccessibilityIdentifier("discountAdsButton");
    root.addSubview(discountButton_);
    const auto self = shared_from_this();
    closeButton_->addTarget(ui::ControlEvent::touchUpInside, ui::weakTarget(self, &KalAdsViewController::closeButtonPressed));
    discountButton_->addTarget(ui::ControlEvent::touchUpInside,
                               ui::weakTarget(self, &KalAdsViewController::discountButtonPressed));
}

void KalAdsViewController::viewDidLoad() {
    closeButton_->setTintColor(ui::Color::rgb(0.93, 0.25, 0.48));
    addLightStyleShadow(closeButton_->layer());
    if (currentAd) adImageView_->setImage(ui::Image::named(currentAd->imageName + "_" + supportedLanguage()));
    discountButton_->layer().cornerRadius = 2.0;
    if (currentAd) {
        const std::string title = foundation::localizedString("grabAdsDiscountForPercentage");
        discountButton_->setTitle(replacingAll(title, "\xC2\xA7", currentAd->discountNumber + "%"));
    }
    discountButton_->setBackgroundColor(ui::Color::rgb(1.0, 0.63, 0.25));
    discountButton_->setTitleColor(ui::Color::white(0.1));
    addLightStyleShadow(discountButton_->layer());
}

void KalAdsViewController::viewDidAppear(bool) {
    auto defaults = foundation::UserDefaults::standard();
    defaults.set(countKalAdsPresentedKey, defaults.integer(countKalAdsPresentedKey).value_or(0) + 1);
    log("kalAds_presented");
}

void KalAdsViewController::closeButtonPressed() {
    log("kalAds_closedAds");
    dismiss(true);
}

void KalAdsViewController::discountButtonPressed() {
    if (currentAd) currentAd->openLink();
    log("kalAds_openedAdProduct");
    dismiss(true);
}

void KalAdsViewController::log(const std::string& event) {
    const auto bundleIdentifier = foundation::Bundle::main().bundleIdentifier();
    DEDIzurarove::logEventWithName(
        event, DEDIzurarove::Parameters{
                   {"sendingApp", bundleIdentifier && !bundleIdentifier->empty() ? *bundleIdentifier : "unknown"},
                   {"kalAdId", currentAd ? currentAd->imageName : std::string("unknown")},
                   {"countKalAdsPresented",
                    foundation::UserDefaults::standard().integer(countKalAdsPresentedKey).value_or(0)}});
}
