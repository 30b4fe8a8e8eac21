#include "platform/ui/ScrollView.h"

namespace ui {

void ScrollView::setContentOffset(const Point& offset, bool) {
    contentOffset_ = offset;
    setNeedsLayout();
}

}  // namespace ui
