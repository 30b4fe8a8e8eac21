#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Calvaro/charts/data/ChartData.h"
#include "platform/ui/TableView.h"

// The chart and video rows of the Solution screen as far as the screen needs
// them: the chart views and the video player come with their own layers, so
// until then these rows list what they would show.

// One chart row: the descriptions of one chart.
class ChartTableViewCell : public ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "chartCell";
    static constexpr const char* nibName = "ChartTableViewCell";

    ChartTableViewCell();
    void configureChart(const std::vector<std::shared_ptr<ChartData>>& charts, ui::View& rootView);
    void restartAnimation() { ++restartCount_; }
    int restartCount() const { return restartCount_; }

private:
    int restartCount_ = 0;
};

// The row of tutorial videos.
class VideoCollectionTableViewCell : public ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "videoCollectionTableViewCell";
    static constexpr const char* nibName = "VideoCollectionTableViewCell";
    static constexpr double rowHeight = 220.0;

    VideoCollectionTableViewCell();
    std::vector<std::string> videoUrlStringArray;
    // Shows the addresses of videoUrlStringArray.
    void reloadData();
};

// Registers the two nibs unless something else already provides them.
void registerSolutionRowNibs();
