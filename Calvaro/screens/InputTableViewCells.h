#pragma once

#include <memory>

#include "platform/math/MathLabel.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"
#include "platform/ui/TextField.h"

// The family's input rows for table-based input screens, styled once their
// layout is loaded. Layouts refer to them by class; this application places
// none of them itself.

// Prepares a field of these rows for the keypad: the field layer colour,
// centred text, and the keypad's preparation.
void setUpInputField(ui::TextField& field);

// A row with an enumerating label and two number fields.
class EnumeratedInputTableViewCell : public ui::TableViewCell {
public:
    using ui::TableViewCell::TableViewCell;
    std::shared_ptr<ui::Label> enumeratingLabel;
    std::shared_ptr<ui::TextField> integerTextField;
    std::shared_ptr<ui::TextField> doubleTextField;
    // Every outlet must be connected.
    void awakeFromNib() override;
};

// A row with a title, a LaTeX label, one number field and a unit.
class ValueInputTableViewCell : public ui::TableViewCell {
public:
    using ui::TableViewCell::TableViewCell;
    std::shared_ptr<ui::Label> titleLabel;
    std::shared_ptr<math::MathLabel> mathLabel;
    std::shared_ptr<ui::TextField> inputTextField;
    std::shared_ptr<math::MathLabel> unitLabel;
    void awakeFromNib() override;
};

// A row with a plus sign for adding rows.
class AddCellTableViewCell : public ui::TableViewCell {
public:
    using ui::TableViewCell::TableViewCell;
    std::shared_ptr<ui::ImageView> plusImageview;
    void awakeFromNib() override;
};
