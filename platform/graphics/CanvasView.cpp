#include "platform/graphics/CanvasView.h"

namespace graphics {

const Context& CanvasView::drawing() {
    const ui::Rect bounds = this->bounds();
    if (!recorded_ || recordedSize_ != bounds.size) {
        recorded_.emplace();
        recordedSize_ = bounds.size;
        drawRect(*recorded_, bounds);
    }
    return *recorded_;
}

}  // namespace graphics
