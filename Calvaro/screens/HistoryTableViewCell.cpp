#include "Calvaro/screens/HistoryTableViewCell.h"

HistoryTableViewCell::HistoryTableViewCell() : ui::TableViewCell(reuseIdentifier) {
    mathLabel_ = std::make_shared<math::MathLabel>();
    mathLabel_->setFontSize(16);
    mathLabel_->setLabelMode(math::MathLabelMode::text);
    contentView().addSubview(mathLabel_);
}

void HistoryTableViewCell::awakeFromNib() { mathLabel_->setTextColor(ui::Color::label().withAlphaComponent(0.9)); }

void HistoryTableViewCell::setFrame(const ui::Rect& frame) {
    ui::TableViewCell::setFrame(frame);
    contentView().setFrame(ui::Rect(0, 0, frame.width(), frame.height()));
    mathLabel_->setFrame(ui::Rect(16, 4, frame.width() - 32, frame.height() - 8));
}
