#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/data/BernoulliDistributionTreeChartData.h"
#include "platform/graphics/CanvasView.h"

// The probability tree of a Bernoulli chain, drawn with the 2D context: one
// level per trial, failure ("0") left of success ("1"), the paths with
// exactly `hits` successes highlighted, each leaf labelled with its path's
// probability in percent.
class TreeChartView : public graphics::CanvasView {
public:
    struct TreeNode {
        std::string value;  // "" for the root, "0" failure, "1" success
        std::vector<TreeNode> children;
        bool isHighlighted = false;
        std::vector<std::string> chainOfEvents;  // root excluded
    };

    explicit TreeChartView(const ui::Rect& frame);

    std::optional<TreeNode> rootNode;
    std::optional<std::string> chartTitle;
    std::optional<std::string> probabilitySuccess;
    std::optional<std::string> probabilityFailure;

    // Lays the tree out from the view's bounds, whatever part is asked for:
    // a partial redraw must not move the nodes.
    void drawRect(graphics::Context& context, const ui::Rect& rect) override;
    void drawNode(const TreeNode& node, graphics::Context& context, double x, double y, double spread);

    // The leaf label: the path probability in percent, three spaces, the chain.
    std::string leafLabel(const TreeNode& node) const;
};

class TreeChartManager {
public:
    // The most trials drawn: 2^10 leaves make a tree 33,992 points wide.
    static constexpr int64_t maxTrials = 10;

    // The container (title, scrollable tree, card shadow) for the frame; none
    // for negative trials or more than maxTrials.
    static std::shared_ptr<ui::View> makeTreeChart(const BernoulliDistributionTreeChartData& chartData,
                                                   const ui::Rect& frame);
    // Adds the subtree below `node`; a depth of 0 or less is a leaf.
    static void buildChildren(TreeChartView::TreeNode& node, int64_t hits, int64_t depth, double p, double q);
    // The tree view's size for `trials` levels: 33·2^trials + 200 by 60·trials + 140.
    static ui::Size treeSize(int64_t trials);
};
