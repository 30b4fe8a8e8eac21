#include "platform/ui/Window.h"

#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"
#include "platform/ui/Traits.h"

namespace ui {

Window::Window() : Window(Screen::bounds()) {}

Window::Window(const Rect& frame) : View(frame) {
    window_ = this;
}

Window::~Window() = default;

void Window::setRootViewController(std::shared_ptr<ViewController> controller) {
    if (controller == root_) return;
    auto old = root_;
    if (old) {
        if (visible_) old->beginAppearanceTransition(false, false);
        if (old->viewIfLoaded()) old->viewIfLoaded()->removeFromSuperview();
    }
    root_ = std::move(controller);
    if (root_) {
        const auto& view = root_->view();
        view->setFrame(bounds());
        insertSubview(view, 0);
        if (visible_) root_->beginAppearanceTransition(true, false);
    }
    if (old && visible_) old->endAppearanceTransition();
    if (root_ && visible_) root_->endAppearanceTransition();
}

void Window::makeKeyAndVisible() {
    auto& app = Application::shared();
    auto self = std::static_pointer_cast<Window>(shared_from_this());
    if (!scene_) app.mainScene().attach(self);
    auto previous = app.keyWindow_.lock();
    app.keyWindow_ = self;
    if (previous && previous != self)
        foundation::NotificationCenter::defaultCenter().post(didResignKeyNotification, previous.get());
    if (visible_) return;
    visible_ = true;
    if (root_) root_->appearanceTransition(true, false);
}

bool Window::isKeyWindow() const {
    return Application::shared().keyWindow() == this;
}

EdgeInsets Window::safeAreaInsets() const {
    return TraitCollection::device().safeAreaInsets;
}

ViewController* Window::topViewController() const {
    ViewController* top = root_.get();
    while (top && top->presentedViewController()) top = top->presentedViewController().get();
    return top;
}

std::string Window::snapshotDescription() const {
    auto number = [](double v) {
        std::string s = std::to_string(v);
        s.erase(s.find_last_not_of('0') + 1);
        if (!s.empty() && s.back() == '.') s.pop_back();
        return s;
    };
    return "window " + number(frame().width()) + "x" + number(frame().height()) +
           (TraitCollection::isDark() ? " dark" : " light");
}

}  // namespace ui
