#include "Calvaro/charts/DistributionFunctionPresentationView.h"

#include <cmath>

#include "Calvaro/engine/KalStringOutput.h"

namespace {

// p as a label of the drawing writes it, at its ten fraction digits: below
// 1e-10 there is no digit to show and it reads 0, beyond 1e12 it reads
// infinity. (The steps keep such a value's m \cdot 10^{k}, since a line
// computes on with it; a label is only read.)
std::string labelLatex(double value) {
    if (std::fabs(value) < 1e-10) return "0";
    if (value > 1e12) return "\\infty";
    if (value < -1e12) return "-\\infty";
    return KalStringOutput::formatNumberLatex("", {}, "", 10, false, value);
}

}  // namespace

DistributionFunctionPresentationView::DistributionFunctionPresentationView(const ui::Rect& frame, double value)
    : ui::View(frame) {
    setUpView(value);
}

// The layout: "F(X) =" and the brace on the left, then three rows of a value
// and its condition.
void DistributionFunctionPresentationView::loadLayout() {
    const ui::Rect b = bounds();
    contentView = std::make_shared<ui::View>(b);
    contentView->setBackgroundColor(ui::Color::systemBackground());
    auto makeMath = [](const ui::Rect& frame) {
        auto label = std::make_shared<math::MathLabel>(frame);
        label->setFontSize(18);
        label->setLabelMode(math::MathLabelMode::text);
        return label;
    };
    const double w = b.width(), h = b.height();
    labelLeft = makeMath(ui::Rect(0, 0, 0.25 * w, h));
    labelLeft->setTextAlignment(ui::TextAlignment::right);
    labelMid = makeMath(ui::Rect(0.25 * w, 0, 0.08 * w, h));
    labelMid->setTextAlignment(ui::TextAlignment::center);
    contentView->addSubview(labelLeft);
    contentView->addSubview(labelMid);
    stackView = std::make_shared<ui::StackView>(ui::Rect(0.33 * w, 0.15 * h, 0.67 * w, 0.7 * h));
    stackView->setAxis(ui::StackView::Axis::vertical);
    const double rowHeight = 0.7 * h / 3;
    for (auto* pair : {&label1, &label2, &label3}) {
        auto row = std::make_shared<ui::View>();
        *pair = makeMath(ui::Rect(0, 0, 0.2 * w, rowHeight));
        row->addSubview(*pair);
        stackView->addArrangedSubview(row);
    }
    auto conditions = {&label4, &label5, &label6};
    size_t index = 0;
    for (auto* condition : conditions) {
        *condition = makeMath(ui::Rect(0.2 * w, 0, 0.47 * w, rowHeight));
        stackView->subviews()[index++]->addSubview(*condition);
    }
    contentView->addSubview(stackView);
}

void DistributionFunctionPresentationView::setUpView(double value) {
    loadLayout();
    addSubview(contentView);
    labelLeft->setLatex("F(X) = ");
    labelMid->setFontSize(46.0);
    labelMid->setLatex("\\{");
    label1->setLatex("0;");
    label2->setLatex(labelLatex(value) + ";");
    label3->setLatex("1;");
    label4->setLatex("\\quad x<0");
    label5->setLatex("\\quad 0 \\le x < 1");
    label6->setLatex("\\quad 1 \\le x");
}
