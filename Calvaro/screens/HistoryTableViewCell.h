#pragma once

#include <memory>

#include "platform/math/MathLabel.h"
#include "platform/ui/TableView.h"

// One row of the history: the exercise's function in LaTeX.
class HistoryTableViewCell : public ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "historyCell";
    static constexpr double rowHeight = 64.0;

    HistoryTableViewCell();
    void awakeFromNib() override;
    // The formula fills the content view, which gives way to the editing
    // controls in edit mode.
    void layoutSubviews() override;

    math::MathLabel* mathLabel() const { return mathLabel_.get(); }

private:
    std::shared_ptr<math::MathLabel> mathLabel_;
};
