#pragma once

#include <memory>

#include "platform/math/MathLabel.h"
#include "platform/ui/View.h"

// The distribution function of a 0/1 random variable as a piecewise formula,
// F(X) = { 0 for x < 0; p for 0 ≤ x < 1; 1 for 1 ≤ x }, written once at
// construction in LaTeX labels.
class DistributionFunctionPresentationView : public ui::View {
public:
    DistributionFunctionPresentationView(const ui::Rect& frame, double value);

    std::shared_ptr<ui::View> contentView;
    std::shared_ptr<ui::StackView> stackView;
    std::shared_ptr<math::MathLabel> labelLeft, labelMid;
    std::shared_ptr<math::MathLabel> label1, label2, label3;  // the values
    std::shared_ptr<math::MathLabel> label4, label5, label6;  // their conditions

private:
    void loadLayout();
    void setUpView(double value);
};
