#include "platform/ui/CellScrollView.h"

#include "platform/ui/Storyboard.h"

namespace ui {

ReusableCell::ReusableCell(std::string reuseIdentifier)
    : reuseIdentifier_(std::move(reuseIdentifier)), contentView_(std::make_shared<View>()) {
    addSubview(contentView_);
}

std::shared_ptr<View> viewOfNib(const std::string& nibName) {
    return Nib::loadView(nibName);
}

}  // namespace ui
