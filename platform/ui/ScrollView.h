#pragma once

#include "platform/ui/View.h"

namespace ui {

class ScrollView : public View {
  public:
    using View::View;
    Point contentOffset() const { return contentOffset_; }
    virtual void setContentOffset(const Point& offset, bool animated = false);
    Size contentSize() const { return contentSize_; }
    void setContentSize(const Size& size) { contentSize_ = size; }
    EdgeInsets contentInset() const { return contentInset_; }
    void setContentInset(const EdgeInsets& insets) { contentInset_ = insets; }
    bool isScrollEnabled() const { return scrollEnabled_; }
    void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }

  private:
    Point contentOffset_;
    Size contentSize_;
    EdgeInsets contentInset_;
    bool scrollEnabled_ = true;
};

}  // namespace ui
