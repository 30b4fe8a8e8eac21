#include "Calvaro/screens/SolutionRowCells.h"

#include "platform/ui/Storyboard.h"

void registerSolutionRowNibs() {
    if (!ui::Nib::isRegistered(ChartTableViewCell::nibName))
        ui::Nib::registerView(ChartTableViewCell::nibName, [] { return std::make_shared<ChartTableViewCell>(); });
    if (!ui::Nib::isRegistered(VideoCollectionTableViewCell::nibName))
        ui::Nib::registerView(VideoCollectionTableViewCell::nibName,
                              [] { return std::make_shared<VideoCollectionTableViewCell>(); });
}
