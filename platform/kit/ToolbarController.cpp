#include "platform/kit/ToolbarController.h"

#include <algorithm>

#include "platform/ui/Traits.h"

namespace kit {

Toolbar::Toolbar()
    : ui::View(ui::Rect(0, 0, ui::Screen::bounds().width(), defaultHeight)),
      titleLabel_(std::make_shared<ui::Label>()),
      detailLabel_(std::make_shared<ui::Label>()) {
    titleLabel_->setTextAlignment(ui::TextAlignment::center);
    detailLabel_->setTextAlignment(ui::TextAlignment::center);
    rebuild();
}

void Toolbar::setLeftViews(std::vector<std::shared_ptr<ui::View>> views) {
    left_ = std::move(views);
    rebuild();
}

void Toolbar::setRightViews(std::vector<std::shared_ptr<ui::View>> views) {
    right_ = std::move(views);
    rebuild();
}

void Toolbar::rebuild() {
    for (const auto& sub : std::vector<std::shared_ptr<ui::View>>(subviews())) sub->removeFromSuperview();
    addSubview(titleLabel_);
    addSubview(detailLabel_);
    for (const auto& v : left_) addSubview(v);
    for (const auto& v : right_) addSubview(v);
    setNeedsLayout();
}

void Toolbar::layoutSubviews() {
    const double height = frame().height();
    const double top = insets_.top, usable = std::max(0.0, height - insets_.top - insets_.bottom);
    auto place = [&](ui::View& view, double x) {
        double width = view.frame().width() > 0 ? view.frame().width() : 48.0;
        double h = view.frame().height() > 0 ? std::min(view.frame().height(), usable) : std::min(48.0, usable);
        view.setFrame(ui::Rect(x, top + (usable - h) / 2, width, h));
        return width;
    };
    double left = insets_.left + 4;
    for (const auto& view : left_) left += place(*view, left);
    double right = frame().width() - insets_.right - 4;
    for (auto it = right_.rbegin(); it != right_.rend(); ++it) {
        double width = (*it)->frame().width() > 0 ? (*it)->frame().width() : 48.0;
        right -= width;
        place(**it, right);
    }
    const double room = std::max(0.0, right - left);
    if (detailLabel_->text().empty()) {
        titleLabel_->setFrame(ui::Rect(left, top, room, usable));
        detailLabel_->setFrame(ui::Rect(left, top + usable, room, 0));
    } else {
        titleLabel_->setFrame(ui::Rect(left, top, room, usable * 0.6));
        detailLabel_->setFrame(ui::Rect(left, top + usable * 0.6, room, usable * 0.4));
    }
}

std::vector<std::shared_ptr<ui::View>> Toolbar::barItems() const {
    std::vector<std::shared_ptr<ui::View>> items(left_);
    items.insert(items.end(), right_.begin(), right_.end());
    return items;
}

std::string Toolbar::snapshotDescription() const {
    std::string line = "toolbar " + ui::quoted(titleLabel_->text());
    if (!detailLabel_->text().empty()) line += " detail " + ui::quoted(detailLabel_->text());
    return line;
}

ToolbarController::ToolbarController(std::shared_ptr<ui::ViewController> rootViewController)
    : root_(std::move(rootViewController)) {
    if (root_) addChild(root_);
}

namespace {

// A toolbar controller's view: it lays its parts out again whenever it is
// laid out, so that they follow its width (a drawer's panel is narrower than
// the screen), the toolbar's own height and a hidden status bar area.
class ToolbarControllerView : public ui::View {
  public:
    using ui::View::View;
    std::function<void()> layout;
    void layoutSubviews() override {
        if (layout) layout();
    }
};

}  // namespace

void ToolbarController::loadView() {
    auto view = std::make_shared<ToolbarControllerView>(ui::Screen::bounds());
    statusBar_ = std::make_shared<ui::View>();
    toolbar_ = std::make_shared<Toolbar>();
    container_ = std::make_shared<ui::View>();
    view->addSubview(statusBar_);
    view->addSubview(toolbar_);
    view->addSubview(container_);
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    view->layout = [weak] {
        if (auto self = std::static_pointer_cast<ToolbarController>(weak.lock())) self->layoutParts();
    };
    setView(view);
    layoutParts();
    placeRoot();
}

// The status bar area on top (none while it is hidden), the toolbar below it
// at the toolbar's height, and the root controller's view in the rest.
void ToolbarController::layoutParts() {
    const ui::Rect bounds = view()->bounds();
    const double top = statusBar_->isHidden() ? 0 : ui::TraitCollection::device().safeAreaInsets.top;
    statusBar_->setFrame(ui::Rect(0, 0, bounds.width(), top));
    const double height = toolbar_->frame().height() > 0 ? toolbar_->frame().height() : Toolbar::defaultHeight;
    const ui::Rect bar(0, top, bounds.width(), height);
    if (toolbar_->frame() != bar) toolbar_->setFrame(bar);
    const double below = top + height;
    const ui::Rect rest(0, below, bounds.width(), std::max(0.0, bounds.height() - below));
    if (container_->frame() != rest) container_->setFrame(rest);
    if (root_ && root_->isViewLoaded() && root_->view()->superview() == container_.get() &&
        root_->view()->frame() != container_->bounds())
        root_->view()->setFrame(container_->bounds());
}

void ToolbarController::placeRoot() {
    if (!root_) return;
    root_->view()->setFrame(container_->bounds());
    container_->addSubview(root_->view());
}

void ToolbarController::viewDidLoad() {
    prepare();
}

void ToolbarController::prepare() {}

void ToolbarController::transition(std::shared_ptr<ui::ViewController> controller,
                                   std::function<void(bool)> completion) {
    transitionChild(root_, std::move(controller), [this]() -> ui::View& { return *container_; }, completion);
}

ToolbarController* toolbarController(const ui::ViewController& controller) {
    return ui::ViewController::enclosing<ToolbarController>(controller);
}

}  // namespace kit
