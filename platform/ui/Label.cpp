#include "platform/ui/Label.h"

namespace ui {

std::string Label::snapshotDescription() const {
    return text_.empty() ? "" : "label " + quoted(text_);
}

}  // namespace ui
