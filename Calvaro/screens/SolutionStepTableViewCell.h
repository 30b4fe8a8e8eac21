#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/math/MathLabel.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/TableView.h"

// Tidies the LaTeX the step writers produce before it is shown: automatic-size
// parentheses, doubled signs, superfluous ".0", coefficients 1 and 0,
// multiplication dots and the spacing around \quad and \color.
std::string normalizeLatexStep(const std::string& latex);

// One row of the Solution screen: the step's title, and below it the step's
// LaTeX in a horizontally scrolling strip, or a plain message.
class SolutionStepTableViewCell : public ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "solutionStepCell";

    // Where the strip of the formula begins below the cell's top.
    static constexpr double formulaTop = 36.0;
    static constexpr double formulaFontSize = 20.0;

    SolutionStepTableViewCell();

    // The height a row needs to show `step`'s formula whole under its title:
    // `defaultHeight`, or more for a formula taller than the strip it leaves.
    static double rowHeight(const std::map<std::string, std::string>& step, double defaultHeight);

    void awakeFromNib() override;
    // The strip spans the content view below the title, and the formula the
    // strip's height.
    void layoutSubviews() override;
    void setStepTitle(const std::string& title);
    void setStep(const std::map<std::string, std::string>& step);

    ui::ScrollView& scrollView() { return *scrollView_; }
    math::MathLabel* mathLabel() const { return mathLabel_.get(); }
    ui::Label* stepTitleLabel() const { return stepTitleLabel_.get(); }
    ui::Label* messageLabel() const { return messageLabel_.get(); }

private:
    void setUpLayout();

    std::shared_ptr<ui::ScrollView> scrollView_;
    std::shared_ptr<math::MathLabel> mathLabel_;
    std::shared_ptr<ui::Label> stepTitleLabel_;
    std::shared_ptr<ui::Label> messageLabel_;
};
