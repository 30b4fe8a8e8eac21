#pragma once

#include <memory>

#include "platform/chart/ChartView.h"
#include "platform/ui/View.h"

// A view that hosts one chart of the chart library on a card: the chart view
// fills the card, which fills this view. Built, drawn once, then shown.
class HostedChartView : public ui::View {
public:
    // `contentCard`: the card is a content view of its own (the spline and
    // line charts' layout); otherwise the chart view itself is the card.
    HostedChartView(const ui::Rect& frame, bool contentCard);

    ui::View* contentView() const { return contentView_.get(); }
    chart::ChartView* chartView() const { return chartView_.get(); }

protected:
    void draw(const chart::Options& options) { chartView_->drawChartWithChartOptions(options); }

private:
    std::shared_ptr<ui::View> contentView_;
    std::shared_ptr<chart::ChartView> chartView_;
};
