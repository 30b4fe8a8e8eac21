#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Calvaro/services/VideoCollectionViewCell.h"
#include "platform/kit/Buttons.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"

// The last row of the Solution screen: the tutorial videos in a horizontal
// list under a title, covered by a lock view until the video consent is
// given. The lock button asks for the consent again, the manual button
// shows the video introduction.
class VideoCollectionTableViewCell : public ui::TableViewCell,
                                     public ui::CollectionViewDataSource,
                                     public ui::CollectionViewDelegate {
public:
    static constexpr const char* reuseIdentifier = "videoCollectionTableViewCell";
    static constexpr const char* nibName = "VideoCollectionTableViewCell";
    // Used while no window can be measured.
    static constexpr double fallbackRowHeight = 390.0;

    // As high as the screen is wide, measured once on first use.
    static double rowHeight();

    VideoCollectionTableViewCell();
    ~VideoCollectionTableViewCell() override;

    std::vector<std::string> videoUrlStringArray;

    void awakeFromNib() override;
    void setFrame(const ui::Rect& frame) override;
    void reloadData() { videoCollectionView_->reloadData(); }

    // The layout's actions.
    void tappedLockingViewButton();
    void tappedPrivacyButton();
    void tappedManualButton();

    void lockVideos();
    void unlockVideos(bool showIntroduction);
    void showVideoIntroduction();

    int64_t numberOfItemsInSection(ui::CollectionView& collectionView, int64_t section) override;
    std::shared_ptr<ui::CollectionViewCell> cellForItemAt(ui::CollectionView& collectionView,
                                                          const ui::IndexPath& indexPath) override;
    std::optional<ui::Size> sizeForItemAt(ui::CollectionView& collectionView, const ui::IndexPath& indexPath) override;

    ui::View* lockingView() const { return lockingView_.get(); }
    ui::Button* unlockButton() const { return unlockButton_.get(); }
    ui::Label* titleLabel() const { return titleLabel_.get(); }
    kit::FABButton* privacyButton() const { return privacyButton_.get(); }
    kit::FABButton* manualButton() const { return manualButton_.get(); }
    ui::CollectionView* videoCollectionView() const { return videoCollectionView_.get(); }

private:
    void setLockImage(bool unlocked);

    std::shared_ptr<ui::View> lockingView_;
    std::shared_ptr<kit::FlatButton> unlockButton_;
    std::shared_ptr<ui::Label> titleLabel_;
    std::shared_ptr<kit::FABButton> privacyButton_;
    std::shared_ptr<kit::FABButton> manualButton_;
    std::shared_ptr<ui::CollectionView> videoCollectionView_;
};
