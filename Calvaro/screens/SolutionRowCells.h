#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Calvaro/charts/ChartTableViewCell.h"
#include "platform/ui/TableView.h"

// The video row as far as the screen needs it: the video player comes with
// its own layer, so until then the row lists what it would show.

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

// Registers the chart and video rows' nibs unless something else already provides them.
void registerSolutionRowNibs();
