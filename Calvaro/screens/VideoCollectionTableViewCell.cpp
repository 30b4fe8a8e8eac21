#include "Calvaro/screens/VideoCollectionTableViewCell.h"

#include <optional>

#include "Calvaro/engine/LocalizedString.h"
#include "Calvaro/screens/ColorManager.h"
#include "Calvaro/screens/ViewManager.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/OnboardingManager.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/kit/Icon.h"
#include "platform/ui/Storyboard.h"
#include "platform/ui/Window.h"

namespace {

constexpr double titleHeight = 44.0;

std::shared_ptr<ui::ViewController> keyRootViewController() {
    ui::Window* window = ViewManager::keyWindow();
    return window ? window->rootViewController() : nullptr;
}

bool videoConsentGiven() {
    return foundation::UserDefaults::standard().boolValue(DsgvoManager::isYoutubeDsgvoAcceptedKey).value_or(false);
}

}  // namespace

// The key window may not be there yet (a row asked for before the first
// window shows, or after the last one went): then a phone's width stands in
// and the measuring is left for a later call.
double VideoCollectionTableViewCell::rowHeight() {
    static std::optional<double> measured;
    if (measured) return *measured;
    auto root = keyRootViewController();
    if (!root || !root->isViewLoaded()) return fallbackRowHeight;
    measured = root->view()->frame().width();
    return *measured;
}

// What the row's nib holds: title and the two round buttons on top, the
// list of videos below, and the cover with its button over all of it.
VideoCollectionTableViewCell::VideoCollectionTableViewCell() : ui::TableViewCell(reuseIdentifier) {
    titleLabel_ = std::make_shared<ui::Label>();
    titleLabel_->setFont(ui::Font::named("Avenir-Heavy", 15));
    titleLabel_->setAdjustsFontSizeToFitWidth(true);
    privacyButton_ = std::make_shared<kit::FABButton>();
    privacyButton_->setAccessibilityIdentifier("videoPrivacyButton");
    manualButton_ = std::make_shared<kit::FABButton>(kit::Icon::named("info"));
    manualButton_->setAccessibilityIdentifier("videoManualButton");
    videoCollectionView_ = std::make_shared<ui::CollectionView>();
    videoCollectionView_->setScrollDirection(ui::CollectionView::ScrollDirection::horizontal);
    videoCollectionView_->setAccessibilityIdentifier("videoCollectionView");
    lockingView_ = std::make_shared<ui::View>();
    lockingView_->setBackgroundColor(ui::Color::secondarySystemBackground().withAlphaComponent(0.95));
    unlockButton_ = std::make_shared<kit::FlatButton>();
    unlockButton_->setAccessibilityIdentifier("unlockVideosButton");
    lockingView_->addSubview(unlockButton_);
    for (const auto& view : std::vector<std::shared_ptr<ui::View>>{titleLabel_, privacyButton_, manualButton_,
                                                                   videoCollectionView_, lockingView_})
        contentView().addSubview(view);

}

VideoCollectionTableViewCell::~VideoCollectionTableViewCell() {
    videoCollectionView_->setDataSource(nullptr);
    videoCollectionView_->setDelegate(nullptr);
}

// The targets are bound here, once the cell is owned and can be held weakly.
void VideoCollectionTableViewCell::awakeFromNib() {
    const auto self = shared_from_this();
    unlockButton_->addTarget(ui::ControlEvent::touchUpInside,
                             ui::weakTarget(self, &VideoCollectionTableViewCell::tappedLockingViewButton));
    privacyButton_->addTarget(ui::ControlEvent::touchUpInside,
                              ui::weakTarget(self, &VideoCollectionTableViewCell::tappedPrivacyButton));
    manualButton_->addTarget(ui::ControlEvent::touchUpInside,
                             ui::weakTarget(self, &VideoCollectionTableViewCell::tappedManualButton));

    titleLabel_->setText(LocalizedString::recommendedVideoIfUnclear());
    unlockButton_->setTitle(LocalizedString::touchToUnlock());
    lockingView_->setHidden(videoConsentGiven());
    setLockImage(videoConsentGiven());
    ColorManager::styleView(*privacyButton_);
    ColorManager::styleView(*manualButton_);
    ColorManager::styleView(*unlockButton_);
    videoCollectionView_->setDelegate(this);
    videoCollectionView_->setDataSource(this);
    if (!ui::Nib::isRegistered(VideoCollectionViewCell::nibName))
        ui::Nib::registerView(VideoCollectionViewCell::nibName, [] { return std::make_shared<VideoCollectionViewCell>(); });
    videoCollectionView_->registerNib(VideoCollectionViewCell::nibName, VideoCollectionViewCell::reuseIdentifier);
    videoCollectionView_->setBackgroundColor(ui::Color::clear());
    setBackgroundColor(ui::Color::clear());
}

void VideoCollectionTableViewCell::setFrame(const ui::Rect& frame) {
    ui::TableViewCell::setFrame(frame);
    const double w = frame.width();
    const double h = frame.height();
    contentView().setFrame(ui::Rect(0, 0, w, h));
    titleLabel_->setFrame(ui::Rect(12, 0, w - 108, titleHeight));
    privacyButton_->setFrame(ui::Rect(w - 92, 2, 40, 40));
    manualButton_->setFrame(ui::Rect(w - 48, 2, 40, 40));
    videoCollectionView_->setFrame(ui::Rect(0, titleHeight, w, h - titleHeight));
    lockingView_->setFrame(ui::Rect(0, 0, w, h));
    unlockButton_->setFrame(ui::Rect(w / 2 - 110, h / 2 - 24, 220, 48));
}

void VideoCollectionTableViewCell::setLockImage(bool unlocked) {
    privacyButton_->setImage(ui::Image::named(unlocked ? "lock.open.fill" : "lock.fill"));
}

void VideoCollectionTableViewCell::tappedLockingViewButton() {
    auto root = keyRootViewController();
    if (!root) return;
    std::weak_ptr<ui::View> weak = weak_from_this();
    DsgvoManager::showYoutubeConsent(root, [weak] {
        if (auto self = std::static_pointer_cast<VideoCollectionTableViewCell>(weak.lock())) self->unlockVideos(true);
    });
}

// Accepting here only stores the consent: the row is uncovered when a new
// row is set up. Refusing covers it at once.
void VideoCollectionTableViewCell::tappedPrivacyButton() {
    auto root = keyRootViewController();
    if (!root) return;
    std::weak_ptr<ui::View> weak = weak_from_this();
    DsgvoManager::showYoutubeConsent(root, {}, [weak] {
        if (auto self = std::static_pointer_cast<VideoCollectionTableViewCell>(weak.lock())) self->lockVideos();
    });
}

void VideoCollectionTableViewCell::tappedManualButton() { showVideoIntroduction(); }

void VideoCollectionTableViewCell::unlockVideos(bool showIntroduction) {
    lockingView_->setHidden(true);
    setLockImage(true);
    if (showIntroduction) showVideoIntroduction();
}

void VideoCollectionTableViewCell::lockVideos() {
    lockingView_->setHidden(false);
    setLockImage(false);
}

void VideoCollectionTableViewCell::showVideoIntroduction() {
    auto root = keyRootViewController();
    if (!root) return;
    OnboardingManager::presentTour(OnboardingManager::videoTourPages(), *root, ui::ModalPresentationStyle::formSheet,
                                   true);
}

int64_t VideoCollectionTableViewCell::numberOfItemsInSection(ui::CollectionView&, int64_t) {
    return static_cast<int64_t>(videoUrlStringArray.size());
}

std::optional<ui::Size> VideoCollectionTableViewCell::sizeForItemAt(ui::CollectionView& collectionView,
                                                                    const ui::IndexPath&) {
    const double side = 0.95 * collectionView.frame().height();
    return ui::Size{side, side};
}

std::shared_ptr<ui::CollectionViewCell> VideoCollectionTableViewCell::cellForItemAt(ui::CollectionView& collectionView,
                                                                                    const ui::IndexPath& indexPath) {
    auto cell = std::static_pointer_cast<VideoCollectionViewCell>(
        collectionView.dequeueReusableCell(VideoCollectionViewCell::reuseIdentifier, indexPath));
    cell->loadVideo(videoUrlStringArray.at(static_cast<size_t>(indexPath.row)));
    return cell;
}
