#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/View.h"

namespace ui {

class PlayerView;

class PlayerViewDelegate {
  public:
    virtual ~PlayerViewDelegate() = default;
    virtual void playerViewDidBecomeReady(PlayerView&) {}
};

// The embedded video player. Nothing is fetched: the view keeps and shows
// what it was asked to load, and reports itself ready on the main queue
// after each load, as the player does once a video can be played.
class PlayerView : public View {
  public:
    using PlayerVars = std::map<std::string, int64_t>;
    struct Load {
        std::string videoId;
        PlayerVars playerVars;
        bool operator==(const Load&) const = default;
    };

    using View::View;

    // Not owned.
    PlayerViewDelegate* delegate() const { return delegate_; }
    void setDelegate(PlayerViewDelegate* delegate) { delegate_ = delegate; }

    void loadWithVideoId(const std::string& videoId, const PlayerVars& playerVars);
    // Every load in order, and the one shown now.
    const std::vector<Load>& loads() const { return loads_; }
    std::optional<Load> currentVideo() const;

    // "player \"id\" start 90".
    std::string snapshotDescription() const override;

  private:
    PlayerViewDelegate* delegate_ = nullptr;
    std::vector<Load> loads_;
};

}  // namespace ui
