#include "Calvaro/services/VideoCollectionViewCell.h"

#include <cctype>
#include <cstdint>
#include <vector>

#include "platform/ui/ImageView.h"

namespace {

std::function<void(ui::Layer&)>& cardShadow() {
    static std::function<void(ui::Layer&)> shadow;
    return shadow;
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The identifiers of the video site: eleven letters, digits, '-' or '_'.
// Anything else is refused before it reaches the player's page.
bool isVideoIdentifier(const std::string& text) {
    if (text.size() != 11) return false;
    for (unsigned char c : text)
        if (!std::isalnum(c) && c != '-' && c != '_') return false;
    return true;
}

// "t=<seconds>s" as a start second; a negative or unreadable time gives none.
std::optional<int64_t> startSecond(const std::string& piece) {
    if (piece.size() < 4 || !startsWith(piece, "t=") || piece.back() != 's') return std::nullopt;
    std::string digits = piece.substr(2, piece.size() - 3);
    if (!digits.empty() && digits.front() == '+') digits.erase(0, 1);
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    for (unsigned char c : digits)
        if (!std::isdigit(c)) return std::nullopt;
    return std::stoll(digits);
}

std::vector<std::string> piecesOf(const std::string& text) {
    std::vector<std::string> pieces;
    size_t from = 0;
    while (from <= text.size()) {
        size_t amp = text.find('&', from);
        if (amp == std::string::npos) amp = text.size();
        if (amp > from) pieces.push_back(text.substr(from, amp - from));
        from = amp + 1;
    }
    return pieces;
}

}  // namespace

VideoCollectionViewCell::VideoCollectionViewCell() : ui::CollectionViewCell(reuseIdentifier) {
    videoView_ = std::make_shared<ui::PlayerView>();
    coveringView_ = std::make_shared<ui::View>();
    coveringView_->setBackgroundColor(ui::Color::secondarySystemBackground());
    auto spinner = std::make_shared<ui::ActivityIndicatorView>(ui::ActivityIndicatorView::Style::large);
    spinner->startAnimating();
    coveringView_->addSubview(spinner);
    contentView().addSubview(videoView_);
    contentView().addSubview(coveringView_);
}

void VideoCollectionViewCell::setCardShadow(std::function<void(ui::Layer&)> shadow) {
    cardShadow() = std::move(shadow);
}

void VideoCollectionViewCell::awakeFromNib() {
    if (cardShadow()) cardShadow()(layer());
    videoView_->setDelegate(this);
}

void VideoCollectionViewCell::setFrame(const ui::Rect& frame) {
    ui::CollectionViewCell::setFrame(frame);
    const ui::Rect bounds(0, 0, frame.width(), frame.height());
    contentView().setFrame(bounds);
    videoView_->setFrame(bounds);
    coveringView_->setFrame(bounds);
    if (!coveringView_->subviews().empty())
        coveringView_->subviews().front()->setFrame(ui::Rect(frame.width() / 2 - 20, frame.height() / 2 - 20, 40, 40));
}

void VideoCollectionViewCell::loadVideo(const std::optional<std::string>& address) {
    coveringView_->setHidden(false);
    videoView_->setHidden(false);
    if (!address) {
        videoView_->setHidden(true);
        return;
    }
    if (startsWith(*address, watchPrefix)) {
        const auto pieces = piecesOf(address->substr(std::string(watchPrefix).size()));
        const std::string identifier = pieces.empty() ? "" : pieces.front();
        if (!isVideoIdentifier(identifier)) {
            videoView_->setHidden(true);
            return;
        }
        ui::PlayerView::PlayerVars variables{{"iv_load_policy", 1}};
        if (auto start = startSecond(pieces.back())) variables["start"] = *start;
        videoView_->loadWithVideoId(identifier, variables);
        return;
    }
    if (startsWith(*address, shortsPrefix)) {
        const std::string identifier = address->substr(std::string(shortsPrefix).size());
        if (!isVideoIdentifier(identifier)) {
            videoView_->setHidden(true);
            return;
        }
        videoView_->loadWithVideoId(identifier, {{"iv_load_policy", 1}});
        return;
    }
    videoView_->setHidden(true);
}

void VideoCollectionViewCell::playerViewDidBecomeReady(ui::PlayerView&) { coveringView_->setHidden(true); }
