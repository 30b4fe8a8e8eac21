#include "Calvaro/screens/HistoryTableViewCell.h"

#include <algorithm>

HistoryTableViewCell::HistoryTableViewCell() : ui::TableViewCell(reuseIdentifier) {
    mathLabel_ = std::make_shared<math::MathLabel>();
    mathLabel_->setFontSize(16);
    mathLabel_->setLabelMode(math::MathLabelMode::text);
    contentView().addSubview(mathLabel_);
}

void HistoryTableViewCell::awakeFromNib() { mathLabel_->setTextColor(ui::Color::label().withAlphaComponent(0.9)); }

void HistoryTableViewCell::layoutSubviews() {
    const ui::Rect content = contentView().bounds();
    mathLabel_->setFrame(ui::Rect(16, 4, std::max(0.0, content.width() - 32), std::max(0.0, content.height() - 8)));
}
