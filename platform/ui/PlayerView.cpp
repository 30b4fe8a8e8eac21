#include "platform/ui/PlayerView.h"

#include "platform/dispatch/MainQueue.h"

namespace ui {

void PlayerView::loadWithVideoId(const std::string& videoId, const PlayerVars& playerVars) {
    loads_.push_back({videoId, playerVars});
    std::weak_ptr<View> weak = weak_from_this();
    const size_t load = loads_.size();
    dispatch::MainQueue::shared()->async([weak, load] {
        auto self = std::static_pointer_cast<PlayerView>(weak.lock());
        // A later load reports for itself.
        if (self && self->loads_.size() == load && self->delegate_) self->delegate_->playerViewDidBecomeReady(*self);
    });
}

std::optional<PlayerView::Load> PlayerView::currentVideo() const {
    if (loads_.empty()) return std::nullopt;
    return loads_.back();
}

std::string PlayerView::snapshotDescription() const {
    auto video = currentVideo();
    if (!video) return "player";
    std::string text = "player " + quoted(video->videoId);
    if (auto start = video->playerVars.find("start"); start != video->playerVars.end())
        text += " start " + std::to_string(start->second);
    return text;
}

}  // namespace ui
