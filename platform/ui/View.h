#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Color.h"
#include "platform/ui/Geometry.h"

namespace ui {

class ViewController;
class Window;

// An animation of one numeric property of a layer (a key path such as
// "strokeEnd" or "transform.rotation.z"), linear in time on the clock.
struct LayerAnimation {
    std::string keyPath;
    double from = 0;
    double to = 1;
    double duration = 0;
    double beginTime = 0;  // uptime
    // Kept at its end value once done (fill forwards), not the model's.
    bool removedOnCompletion = true;
};

// The drawing layer of a view: only the settings our callers make, kept for
// inspection and for the page renderer. Sublayers of other kinds (shape
// layers) derive from it.
class Layer {
  public:
    virtual ~Layer() = default;
    // Callers find the layers they added by name.
    std::string name;
    // The rotation about z in radians (positive turns clockwise on the screen).
    double rotation = 0;
    double cornerRadius = 0;
    bool masksToBounds = false;
    std::optional<Color> backgroundColor;
    std::optional<Color> borderColor;
    double borderWidth = 0;
    std::optional<Color> shadowColor;
    double shadowOpacity = 0;
    Size shadowOffset{0, -3};
    double shadowRadius = 3;

    std::vector<std::shared_ptr<Layer>> sublayers;
    void addSublayer(std::shared_ptr<Layer> layer) { sublayers.push_back(std::move(layer)); }

    // Starts `animation` now under `key` (replacing one of the same key);
    // `completion` runs on the main queue when it ends (the caller guards
    // what it captures).
    void addAnimation(const std::string& key, LayerAnimation animation, std::function<void()> completion = {});
    std::map<std::string, LayerAnimation> animations;
    // What the screen shows of `keyPath` now: the running animation's value,
    // or `modelValue` when none runs.
    double presentationValue(const std::string& keyPath, double modelValue) const;
};

enum class ContentMode { scaleToFill = 0, scaleAspectFit = 1, scaleAspectFill = 2, redraw = 3, center = 4 };

enum class AnimationCurve { easeInOut = 0, easeIn = 1, easeOut = 2, linear = 3 };

// A rectangle in the view tree. Views are owned through shared pointers: a
// view owns its subviews; its superview is not owned.
class View : public std::enable_shared_from_this<View> {
  public:
    View();
    explicit View(const Rect& frame);
    // A view backed by a layer of another kind (a shape layer).
    View(const Rect& frame, std::shared_ptr<Layer> layer);
    virtual ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // Geometry. Bounds has origin (0, 0) and the frame's size.
    const Rect& frame() const { return frame_; }
    virtual void setFrame(const Rect& frame);
    Rect bounds() const { return Rect(0, 0, frame_.width(), frame_.height()); }
    Point center() const { return frame_.center(); }
    void setCenter(const Point& center);

    int64_t tag() const { return tag_; }
    void setTag(int64_t tag) { tag_ = tag; }
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden) { hidden_ = hidden; }
    double alpha() const { return alpha_; }
    void setAlpha(double alpha) { alpha_ = alpha; }
    const std::optional<Color>& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(std::optional<Color> color) { backgroundColor_ = std::move(color); }
    // Inherited from the superview when not set.
    Color tintColor() const;
    void setTintColor(std::optional<Color> color) { tintColor_ = std::move(color); }
    ContentMode contentMode() const { return contentMode_; }
    void setContentMode(ContentMode mode) { contentMode_ = mode; }
    bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
    void setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }
    bool clipsToBounds() const { return layer_->masksToBounds; }
    void setClipsToBounds(bool clips) { layer_->masksToBounds = clips; }
    const std::string& accessibilityIdentifier() const { return accessibilityIdentifier_; }
    void setAccessibilityIdentifier(std::string identifier) {
        accessibilityIdentifier_ = std::move(identifier);
    }
    // What the person is told of the view beyond its name; on a control that
    // is disabled, what makes it available.
    const std::string& accessibilityHint() const { return accessibilityHint_; }
    void setAccessibilityHint(std::string hint) { accessibilityHint_ = std::move(hint); }
    Layer& layer() { return *layer_; }
    const Layer& layer() const { return *layer_; }
    // A view whose layer shapes this view's visible area (a popover's outline).
    const std::shared_ptr<View>& maskView() const { return maskView_; }
    void setMaskView(std::shared_ptr<View> mask) { maskView_ = std::move(mask); }
    const std::shared_ptr<Layer>& layerPointer() const { return layer_; }

    // The tree.
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    View* superview() const { return superview_; }
    void addSubview(std::shared_ptr<View> view);
    void insertSubview(std::shared_ptr<View> view, size_t index);
    void removeFromSuperview();
    void bringSubviewToFront(View* view);
    // This view or the first descendant (depth first) with the tag.
    std::shared_ptr<View> viewWithTag(int64_t tag);
    bool isDescendant(const View* ancestor) const;
    // The window this view is in, if any.
    Window* window() const;
    // The controller whose root view this is, if any.
    ViewController* owningController() const { return owningController_; }

    // Layout: setNeedsLayout marks, layoutIfNeeded runs layoutSubviews now.
    void setNeedsLayout() { needsLayout_ = true; }
    void layoutIfNeeded();
    virtual void layoutSubviews() {}

    // Becomes first responder (text fields); the default refuses.
    virtual bool becomeFirstResponder() { return false; }
    virtual bool resignFirstResponder() { return true; }
    virtual bool isFirstResponder() const { return false; }

    // One line for the text snapshot ("label \"Hello\""), or empty for a view
    // that shows nothing of its own (its subviews are still listed).
    virtual std::string snapshotDescription() const;
    // False to leave the subviews out of the snapshot (a button's label).
    virtual bool snapshotListsSubviews() const { return true; }
    // The views listed under this one (default: the subviews, or none).
    virtual std::vector<std::shared_ptr<View>> snapshotSubviews() const;

    // Animations: the changes are applied at once; the completion runs on the
    // main queue after `duration` seconds (virtual seconds under a manual
    // executor), so anything removed at the end of a fade goes at that time.
    static void animate(double duration, double delay, AnimationCurve curve,
                        const std::function<void()>& animations,
                        std::function<void(bool finished)> completion = {});

    // Free-form values callers attach to a view (like the platform's
    // associated objects).
    std::shared_ptr<void>& associatedObject(const std::string& key) { return associated_[key]; }

  protected:
    // Called after the view joined or left a superview.
    virtual void didMoveToSuperview() {}

  private:
    friend class ViewController;
    friend class Window;
    Rect frame_;
    int64_t tag_ = 0;
    bool hidden_ = false;
    double alpha_ = 1.0;
    std::optional<Color> backgroundColor_;
    std::optional<Color> tintColor_;
    ContentMode contentMode_ = ContentMode::scaleToFill;
    bool userInteractionEnabled_ = true;
    bool needsLayout_ = true;
    std::string accessibilityIdentifier_;
    std::string accessibilityHint_;
    std::shared_ptr<Layer> layer_;
    std::shared_ptr<View> maskView_;
    std::vector<std::shared_ptr<View>> subviews_;
    View* superview_ = nullptr;
    ViewController* owningController_ = nullptr;
    Window* window_ = nullptr;  // set on the root of a window only
    std::map<std::string, std::shared_ptr<void>> associated_;
};

// A view that lines up its arranged subviews, each given an equal share of
// its length along the axis (less the spacing) and its whole breadth.
class StackView : public View {
  public:
    enum class Axis { horizontal = 0, vertical = 1 };
    using View::View;
    Axis axis() const { return axis_; }
    void setAxis(Axis axis) { axis_ = axis; }
    double spacing() const { return spacing_; }
    void setSpacing(double spacing) { spacing_ = spacing; }
    void addArrangedSubview(std::shared_ptr<View> view) {
        addSubview(std::move(view));
        setNeedsLayout();
    }
    void layoutSubviews() override;

  private:
    Axis axis_ = Axis::horizontal;
    double spacing_ = 0;
};

// Text for snapshots: the text in double quotes with quotes, backslashes
// kept as they are (LaTeX stays readable) and line breaks written as \n.
std::string quoted(const std::string& text);

}  // namespace ui
