#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Calvaro/charts/data/ChartData.h"
#include "platform/ui/TableView.h"

// The chart rows of the Solution screen as far as the screen needs them: the
// chart views come with their own layer, so until then these rows list what
// they would show.

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

// Registers the chart row and video row nibs unless something else already provides them.
void registerSolutionRowNibs();
