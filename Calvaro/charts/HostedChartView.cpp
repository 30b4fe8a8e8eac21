#include "Calvaro/charts/HostedChartView.h"

#include "Calvaro/charts/palette/Palette.h"

HostedChartView::HostedChartView(const ui::Rect& frame, bool contentCard) : ui::View(frame) {
    const ui::Rect whole(0, 0, frame.width(), frame.height());
    chartView_ = std::make_shared<chart::ChartView>(whole);
    chartView_->setScrollEnabled(false);
    chartView_->setClearBackground(true);
    if (contentCard) {
        contentView_ = std::make_shared<ui::View>(whole);
        addSubview(contentView_);
        addCardShadow(contentView_->layer());
        contentView_->addSubview(chartView_);
    } else {
        chartView_->setBackgroundColor(ui::Color::systemBackground());
        addCardShadow(chartView_->layer());
        addSubview(chartView_);
    }
}
