#pragma once

#include <optional>

#include "platform/graphics/Context.h"
#include "platform/ui/View.h"

namespace graphics {

// A view that draws itself: subclasses override drawRect. The drawing is
// recorded on first need and kept until setNeedsDisplay or a change of size,
// so the page, snapshots and pictures all show the same marks.
class CanvasView : public ui::View {
  public:
    using ui::View::View;
    // Draws the view; `rect` is the area asked for (always the bounds here).
    virtual void drawRect(Context& context, const ui::Rect& rect) {
        (void)context;
        (void)rect;
    }
    void setNeedsDisplay() { recorded_.reset(); }
    // The view's drawing at its current bounds.
    const Context& drawing();

  private:
    std::optional<Context> recorded_;
    ui::Size recordedSize_;
};

}  // namespace graphics
