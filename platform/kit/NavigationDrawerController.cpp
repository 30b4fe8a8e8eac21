#include "platform/kit/NavigationDrawerController.h"

#include <algorithm>

#include "platform/ui/Button.h"
#include "platform/ui/Traits.h"

namespace kit {

namespace {
constexpr double leftViewWidth = 280.0;

// The left panel; shown only while open.
class DrawerPanel : public ui::View {
  public:
    using ui::View::View;
    std::string snapshotDescription() const override { return "drawer open"; }
};
}  // namespace

NavigationDrawerController::NavigationDrawerController(
    std::shared_ptr<ui::ViewController> rootViewController,
    std::shared_ptr<ui::ViewController> leftViewController,
    std::shared_ptr<ui::ViewController> rightViewController)
    : root_(std::move(rootViewController)),
      left_(std::move(leftViewController)),
      right_(std::move(rightViewController)) {
    if (root_) addChild(root_);
    if (left_) addChild(left_);
    if (right_) addChild(right_);
}

void NavigationDrawerController::loadView() {
    ui::Rect bounds = ui::Screen::bounds();
    auto view = std::make_shared<ui::View>(bounds);
    rootContainer_ = std::make_shared<ui::View>(bounds);
    view->addSubview(rootContainer_);
    if (root_) {
        root_->view()->setFrame(rootContainer_->bounds());
        rootContainer_->addSubview(root_->view());
    }
    leftContainer_ = std::make_shared<DrawerPanel>(
        ui::Rect(0, 0, std::min(leftViewWidth, bounds.width()), bounds.height()));
    leftContainer_->setHidden(true);
    // The menu is laid out at the drawer's width and never spills beside it.
    leftContainer_->setClipsToBounds(true);
    const double beside = leftContainer_->frame().maxX();
    auto scrim = std::make_shared<ui::Button>(ui::Rect(beside, 0, std::max(0.0, bounds.width() - beside), bounds.height()));
    scrim->setBackgroundColor(ui::Color::black().withAlphaComponent(0.3));
    scrim->setAccessibilityIdentifier(closeAreaIdentifier);
    scrim->setHidden(true);
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    scrim->addTarget(ui::ControlEvent::touchUpInside, [weak](ui::Control&) {
        if (auto self = std::static_pointer_cast<NavigationDrawerController>(weak.lock())) self->closeLeftView(0);
    });
    scrim_ = scrim;
    view->addSubview(scrim_);
    view->addSubview(leftContainer_);
    if (left_) {
        left_->view()->setFrame(leftContainer_->bounds());
        leftContainer_->addSubview(left_->view());
    }
    setView(view);
}

void NavigationDrawerController::viewDidLoad() {
    prepare();
}

void NavigationDrawerController::prepare() {}

void NavigationDrawerController::openLeftView(double) {
    if (!left_ || leftOpen_) return;
    loadViewIfNeeded();
    auto keep = weak_from_this().lock();
    if (delegate_) delegate_->navigationDrawerWillOpen(*this);
    leftOpen_ = true;
    leftContainer_->setHidden(false);
    scrim_->setHidden(false);
    if (delegate_) delegate_->navigationDrawerDidOpen(*this);
}

void NavigationDrawerController::closeLeftView(double) {
    if (!leftOpen_) return;
    auto keep = weak_from_this().lock();
    if (delegate_) delegate_->navigationDrawerWillClose(*this);
    leftOpen_ = false;
    leftContainer_->setHidden(true);
    scrim_->setHidden(true);
    if (delegate_) delegate_->navigationDrawerDidClose(*this);
}

void NavigationDrawerController::toggleLeftView(double velocity) {
    if (leftOpen_)
        closeLeftView(velocity);
    else
        openLeftView(velocity);
}

void NavigationDrawerController::transition(std::shared_ptr<ui::ViewController> controller,
                                            std::function<void(bool)> completion) {
    transitionChild(root_, std::move(controller), [this]() -> ui::View& { return *rootContainer_; }, completion);
}

NavigationDrawerController* navigationDrawerController(const ui::ViewController& controller) {
    return ui::ViewController::enclosing<NavigationDrawerController>(controller);
}

}  // namespace kit
