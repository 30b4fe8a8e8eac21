#include "Calvaro/charts/TreeChartView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Calvaro/charts/palette/Palette.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"

namespace {

const ui::Font kNodeFont = ui::Font::system(12);
constexpr double kLeafLabelTurn = -0.6981317007977318;  // -40 degrees

std::string formatG(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

ui::Color dimColor() { return ui::Color::systemGray().withAlphaComponent(0.3); }

}  // namespace

TreeChartView::TreeChartView(const ui::Rect& frame) : graphics::CanvasView(frame) {
    setBackgroundColor(ui::Color::systemBackground());
}

void TreeChartView::drawRect(graphics::Context& context, const ui::Rect&) {
    const ui::Rect r = bounds();
    const double w = r.width();
    const double midX = r.center().x;
    if (probabilitySuccess)
        context.drawText(*probabilitySuccess, ui::Rect(midX + 0.125 * w, 80, w, 30), kNodeFont, ui::Color::label());
    if (probabilityFailure) {
        const double textWidth = graphics::Context::measureText(*probabilityFailure, kNodeFont).width;
        context.drawText(*probabilityFailure, ui::Rect(midX - 0.125 * w - textWidth, 80, w, 30), kNodeFont,
                         ui::Color::label());
    }
    if (!rootNode) return;
    context.setLineWidth(2.0);
    drawNode(*rootNode, context, midX, 60, w - 200);
}

void TreeChartView::drawNode(const TreeNode& node, graphics::Context& context, double x, double y, double spread) {
    const ui::Color highlight = appPink();
    const ui::Rect circle(x - 15, y, 30, 30);
    context.setStrokeColor(node.isHighlighted ? highlight : dimColor());
    context.strokeEllipse(circle);
    context.setFillColor(ui::Color::clear());
    context.fillRect(circle);

    const ui::Size valueSize = graphics::Context::measureText(node.value, kNodeFont);
    context.drawText(node.value,
                     ui::Rect(x - valueSize.width / 2, y + 15 - valueSize.height / 2, valueSize.width,
                              valueSize.height),
                     kNodeFont);

    if (!node.children.empty()) {
        const double n = static_cast<double>(node.children.size());
        const double step = spread / n;
        for (size_t i = 0; i < node.children.size(); ++i) {
            const TreeNode& child = node.children[i];
            const double cx = x - step * (n / 2 - static_cast<double>(i)) + step / 2;
            const double cy = y + 50;
            context.setStrokeColor(child.isHighlighted ? highlight : dimColor());
            context.strokeLine({x, y + 30}, {cx, cy});
            drawNode(child, context, cx, cy, spread / 2);
        }
        return;
    }
    const std::string label = leafLabel(node);
    const ui::Size size = graphics::Context::measureText(label, kNodeFont);
    const double k = static_cast<double>(node.chainOfEvents.size());
    context.saveGState();
    context.translateBy(x - 0.86 * size.width + size.width / 2, y + 30 + 2.2 * k + 18 + size.height / 2);
    context.rotateBy(kLeafLabelTurn);
    context.drawText(label, ui::Rect(-size.width / 2, -size.height / 2, size.width, size.height), kNodeFont,
                     node.isHighlighted ? highlight : dimColor());
    context.restoreGState();
}

std::string TreeChartView::leafLabel(const TreeNode& node) const {
    const double p = probabilitySuccess ? std::strtod(probabilitySuccess->c_str(), nullptr) : 0;
    const double q = probabilityFailure ? std::strtod(probabilityFailure->c_str(), nullptr) : 0;
    double probability = 1;
    std::string chain;
    for (const auto& event : node.chainOfEvents) {
        probability *= event == "0" ? q : p;
        chain += event;
    }
    return formatG(KalMathOperation::roundedToPlaces(2, probability * 100).rounded) + "%   " + chain;
}

void TreeChartManager::buildChildren(TreeChartView::TreeNode& node, int64_t hits, int64_t depth, double p,
                                     double q) {
    if (depth <= 0) return;
    TreeChartView::TreeNode failure{"0", {}, 0 <= hits && hits <= depth - 1, node.chainOfEvents};
    failure.chainOfEvents.push_back("0");
    buildChildren(failure, hits, depth - 1, p, q);
    TreeChartView::TreeNode success{"1", {}, 0 <= hits - 1 && hits - 1 <= depth - 1, node.chainOfEvents};
    success.chainOfEvents.push_back("1");
    buildChildren(success, hits - 1, depth - 1, p, q);
    node.children = {std::move(failure), std::move(success)};
}

ui::Size TreeChartManager::treeSize(int64_t trials) {
    const double leaves = static_cast<double>(int64_t{1} << trials);
    return {33 * leaves + 200, 60 * static_cast<double>(trials) + 140};
}

std::shared_ptr<ui::View> TreeChartManager::makeTreeChart(const BernoulliDistributionTreeChartData& chartData,
                                                          const ui::Rect& frame) {
    if (chartData.trials < 0 || chartData.trials > maxTrials) return nullptr;
    const double p = chartData.probabilityOfSuccess;
    const double q = 1 - p;
    TreeChartView::TreeNode root{"", {}, true, {}};
    // Any count outside 0...trials highlights nothing; clamped, it cannot overflow below.
    const int64_t hits = std::clamp<int64_t>(chartData.hits, -1, chartData.trials + 1);
    buildChildren(root, hits, chartData.trials, p, q);

    const ui::Size size = treeSize(chartData.trials);
    auto tree = std::make_shared<TreeChartView>(ui::Rect(0, 0, size.width, size.height));
    tree->chartTitle = chartData.chartTitle;
    tree->probabilitySuccess = formatG(p);
    tree->probabilityFailure = formatG(q);
    tree->rootNode = std::move(root);
    tree->setNeedsDisplay();

    auto container = std::make_shared<ui::View>(frame);
    container->setBackgroundColor(ui::Color::systemBackground());
    auto scroll = std::make_shared<ui::ScrollView>(ui::Rect(0, 0, frame.width(), frame.height()));
    scroll->setContentSize(size);
    scroll->addSubview(tree);
    container->addSubview(scroll);

    const ui::Font titleFont = ui::Font::system(18);
    const ui::Size titleSize = graphics::Context::measureText(chartData.chartTitle, titleFont);
    auto title = std::make_shared<ui::Label>(ui::Rect(20, 12, titleSize.width, titleSize.height));
    title->setFont(titleFont);
    title->setText(chartData.chartTitle);
    title->setTextColor(ui::Color::label());
    container->addSubview(title);
    addCardShadow(container->layer());
    return container;
}
