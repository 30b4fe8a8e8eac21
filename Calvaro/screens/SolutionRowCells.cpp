#include "Calvaro/screens/SolutionRowCells.h"

#include "platform/ui/Label.h"
#include "platform/ui/Storyboard.h"

namespace {

void showLines(ui::View& content, const std::vector<std::string>& lines) {
    for (const auto& old : std::vector<std::shared_ptr<ui::View>>(content.subviews())) old->removeFromSuperview();
    double y = 0;
    for (const auto& text : lines) {
        auto label = std::make_shared<ui::Label>(ui::Rect(20, y, 350, 20));
        label->setText(text);
        content.addSubview(label);
        y += 20;
    }
}

}  // namespace

VideoCollectionTableViewCell::VideoCollectionTableViewCell() : ui::TableViewCell(reuseIdentifier) {}

void VideoCollectionTableViewCell::reloadData() {
    std::vector<std::string> lines;
    for (const auto& address : videoUrlStringArray) lines.push_back("video " + address);
    showLines(contentView(), lines);
}

void registerSolutionRowNibs() {
    if (!ui::Nib::isRegistered(ChartTableViewCell::nibName))
        ui::Nib::registerView(ChartTableViewCell::nibName, [] { return std::make_shared<ChartTableViewCell>(); });
    if (!ui::Nib::isRegistered(VideoCollectionTableViewCell::nibName))
        ui::Nib::registerView(VideoCollectionTableViewCell::nibName,
                              [] { return std::make_shared<VideoCollectionTableViewCell>(); });
}
