#include "Calvaro/screens/InputTableViewCells.h"

#include "Calvaro/screens/ColorManager.h"
#include "Calvaro/screens/ScreenUtilities.h"
#include <stdexcept>

namespace {

template <typename... Outlets>
void requireOutlets(const char* cell, const Outlets&... outlets) {
    if ((!outlets || ...)) throw std::logic_error(std::string(cell) + ": an outlet of its layout is not connected");
}

}  // namespace

void setUpInputField(ui::TextField& field) {
    field.layer().backgroundColor = fieldLayerColor();
    field.setTextAlignment(ui::TextAlignment::center);
    prepareForKeypad(field);
}

void EnumeratedInputTableViewCell::awakeFromNib() {
    requireOutlets("EnumeratedInputTableViewCell", enumeratingLabel, integerTextField, doubleTextField);
    enumeratingLabel->setTextColor(labelTextColor());
    setUpInputField(*integerTextField);
    setUpInputField(*doubleTextField);
}

void ValueInputTableViewCell::awakeFromNib() {
    requireOutlets("ValueInputTableViewCell", titleLabel, mathLabel, inputTextField, unitLabel);
    inputTextField->layer().backgroundColor = ui::Color::systemBackground();
    titleLabel->setTextColor(labelTextColor());
    mathLabel->setTextColor(labelTextColor());
    unitLabel->setTextColor(labelTextColor());
    prepareForKeypad(*inputTextField);
}

void AddCellTableViewCell::awakeFromNib() {
    requireOutlets("AddCellTableViewCell", plusImageview);
    plusImageview->setTintColor(appPink());
}
