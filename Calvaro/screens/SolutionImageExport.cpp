#include "Calvaro/screens/SolutionImageExport.h"

#include <cmath>
#include <ctime>
#include <iostream>

#include "Calvaro/screens/SolutionRowCells.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/FileSystem.h"

ViewImagePointer screenshotForCroppingRect(ui::View& view, const ui::Rect& croppingRect) {
    ui::Rect rect = croppingRect;
    // A scroll view's bounds begin at its content offset.
    if (auto* scroll = dynamic_cast<ui::ScrollView*>(&view))
        rect = ui::Rect(rect.x() - scroll->contentOffset().x, rect.y() - scroll->contentOffset().y, rect.width(),
                        rect.height());
    return web::ViewImage::ofView(view, rect);
}

ViewImagePointer screenshot(ui::View& view) {
    ui::Rect bounds = view.bounds();
    if (auto* scroll = dynamic_cast<ui::ScrollView*>(&view))
        bounds = ui::Rect(scroll->contentOffset().x, scroll->contentOffset().y, bounds.width(), bounds.height());
    return screenshotForCroppingRect(view, bounds);
}

ViewImagePointer stackImages(const std::vector<ViewImagePointer>& images) { return web::ViewImage::stacked(images); }

namespace {

// One walk over a table; it lives in the blocks that continue it.
class TableWalk : public std::enable_shared_from_this<TableWalk> {
public:
    TableWalk(ui::TableView& table, std::optional<std::set<int64_t>> headers, std::optional<std::set<int64_t>> footers,
              std::function<void(ViewImagePointer)> completion)
        : table_(std::static_pointer_cast<ui::TableView>(table.shared_from_this())),
          headers_(std::move(headers)),
          footers_(std::move(footers)),
          completion_(std::move(completion)) {}

    void start() {
        ui::TableView& table = *table_;
        if (const auto& header = table.tableHeaderView()) {
            const ui::Point saved = table.contentOffset();
            const ui::Rect frame = header->frame();
            table.setContentOffset({saved.x, frame.y()});
            pieces_.push_back(screenshotForCroppingRect(table, frame));
            table.setContentOffset(saved);
        }
        run();
    }

private:
    enum class Phase { header, rows, footer };

    // Goes on until a chart row must be waited for, or the walk is done.
    void run() {
        ui::TableView& table = *table_;
        while (section_ < table.numberOfSections()) {
            if (phase_ == Phase::header) {
                if (!headers_ || headers_->count(section_)) sectionEdge(table.rectForHeaderInSection(section_));
                phase_ = Phase::rows;
                row_ = 0;
            }
            if (phase_ == Phase::rows) {
                while (row_ < table.numberOfRowsInSection(section_)) {
                    const ui::IndexPath path{section_, row_++};
                    const ui::Point saved = table.contentOffset();
                    table.scrollToRow(path, ui::TableViewScrollPosition::top, false);
                    auto cell = table.cellForRow(path);
                    if (!cell) {
                        table.setContentOffset(saved);
                        continue;
                    }
                    cell->setBackgroundColor(ui::Color::systemBackground());
                    if (auto chart = std::dynamic_pointer_cast<ChartTableViewCell>(cell)) {
                        // The chart finishes drawing first; the screen stays live meanwhile.
                        awaitChart(chart, saved, static_cast<int>(std::lround(chartRowDrawingTime / chartRowFrameTime)));
                        return;
                    }
                    snapRow(*cell, saved);
                }
                phase_ = Phase::footer;
            }
            if (!footers_ || footers_->count(section_)) sectionEdge(table.rectForFooterInSection(section_));
            ++section_;
            phase_ = Phase::header;
        }
        auto completion = std::move(completion_);
        if (completion) completion(stackImages(pieces_));
    }

    // Snaps a chart row at the first frame at which it has finished drawing
    // (a chart the page draws at once is done by the next frame), after
    // `framesLeft` frames at the latest, then goes on with the walk.
    void awaitChart(std::shared_ptr<ChartTableViewCell> cell, ui::Point saved, int framesLeft) {
        auto self = shared_from_this();
        dispatch::MainQueue::shared()->asyncAfter(chartRowFrameTime, [self, cell, saved, framesLeft] {
            if (cell->isDrawing() && framesLeft > 1) return self->awaitChart(cell, saved, framesLeft - 1);
            self->snapRow(*cell, saved);
            self->run();
        });
    }

    void snapRow(ui::TableViewCell& cell, ui::Point saved) {
        if (auto image = screenshot(cell)) pieces_.push_back(image);
        table_->setContentOffset(saved);
    }

    // A section header or footer; one of no width or height is left out.
    void sectionEdge(const ui::Rect& rect) {
        if (rect.width() <= 0 || rect.height() <= 0) return;
        ui::TableView& table = *table_;
        const ui::Point saved = table.contentOffset();
        table.setContentOffset({saved.x, rect.y()});
        ViewImagePointer image = screenshotForCroppingRect(table, rect);
        table.setContentOffset(saved);
        if (!image) image = web::ViewImage::blank({table.bounds().width(), rect.height()});
        pieces_.push_back(image);
    }

    std::shared_ptr<ui::TableView> table_;
    std::optional<std::set<int64_t>> headers_, footers_;
    std::function<void(ViewImagePointer)> completion_;
    std::vector<ViewImagePointer> pieces_;
    int64_t section_ = 0;
    int64_t row_ = 0;
    Phase phase_ = Phase::header;
};

}  // namespace

void tableScreenshot(ui::TableView& table, std::optional<std::set<int64_t>> headerSections,
                     std::optional<std::set<int64_t>> footerSections,
                     std::function<void(ViewImagePointer)> completion) {
    auto walk = std::make_shared<TableWalk>(table, std::move(headerSections), std::move(footerSections),
                                            std::move(completion));
    walk->start();
}

bool saveSharedImage(const ui::Image& image, std::string& where) {
    auto* picture = dynamic_cast<const web::ViewImage*>(&image);
    if (!picture) return where = "the image has no picture to save", false;
    const std::filesystem::path folder = foundation::FileSystem::home() / "Shared";
    std::string error;
    if (!foundation::FileSystem::createDirectories(folder, &error)) return where = error, false;
    const std::time_t now = static_cast<std::time_t>(dispatch::Clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    std::filesystem::path png = folder / (std::string("Solution-") + stamp + ".png");
    std::error_code ec;
    // A link counts as taken even when it leads nowhere.
    for (int n = 2; std::filesystem::exists(std::filesystem::symlink_status(png, ec)); ++n)
        png = folder / (std::string("Solution-") + stamp + "-" + std::to_string(n) + ".png");
    if (!picture->writePng(png, sharedImageScale, error)) return where = error, false;
    if (!foundation::FileSystem::restrictFile(png, &error)) return where = error, false;
    where = png.string();
    return true;
}
