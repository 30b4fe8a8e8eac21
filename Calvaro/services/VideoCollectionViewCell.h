#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/PlayerView.h"
#include "platform/ui/TableView.h"

// One tile of the tutorial videos: cuts the video identifier and an optional
// start second out of a video address and loads it into the embedded player,
// behind a cover that stays until the player is ready.
class VideoCollectionViewCell : public ui::CollectionViewCell, public ui::PlayerViewDelegate {
public:
    static constexpr const char* reuseIdentifier = "videoCollectionViewCell";
    static constexpr const char* nibName = "VideoCollectionViewCell";
    static constexpr const char* watchPrefix = "https://www.youtube.com/watch?v=";
    static constexpr const char* shortsPrefix = "https://www.youtube.com/shorts/";

    VideoCollectionViewCell();

    // The card shadow of the screens, given to the cell's layer on waking.
    static void setCardShadow(std::function<void(ui::Layer&)> shadow);

    void awakeFromNib() override;
    void setFrame(const ui::Rect& frame) override;

    // Loads the video of `address`, or hides the player when there is none
    // or it is not a video address.
    void loadVideo(const std::optional<std::string>& address);
    void playerViewDidBecomeReady(ui::PlayerView&) override;

    ui::View* coveringView() const { return coveringView_.get(); }
    ui::PlayerView* videoView() const { return videoView_.get(); }

private:
    std::shared_ptr<ui::View> coveringView_;
    std::shared_ptr<ui::PlayerView> videoView_;
};
