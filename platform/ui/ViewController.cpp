#include "platform/ui/ViewController.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <typeinfo>

#include "platform/ui/AppearanceHooks.h"
#include "platform/ui/Log.h"
#include "platform/ui/Traits.h"
#include "platform/ui/Window.h"

namespace ui {

ViewController::ViewController() = default;

ViewController::~ViewController() {
    if (view_ && view_->owningController_ == this) view_->owningController_ = nullptr;
    for (auto& child : children_) child->parent_ = nullptr;
    if (presented_) presented_->presenting_ = nullptr;
}

std::string ViewController::className() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : mangled;
    std::free(demangled);
    if (auto angle = name.find('<'); angle != std::string::npos) name.erase(angle);
    if (auto colon = name.rfind("::"); colon != std::string::npos) name.erase(0, colon + 2);
    return name;
}

const std::shared_ptr<View>& ViewController::view() {
    if (!view_) {
        loadView();
        if (!view_) view_ = std::make_shared<View>(Screen::bounds());
        view_->owningController_ = this;
        viewDidLoad();
    }
    return view_;
}

void ViewController::setView(std::shared_ptr<View> view) {
    if (view_ && view_->owningController_ == this) view_->owningController_ = nullptr;
    view_ = std::move(view);
    if (view_) view_->owningController_ = this;
}

void ViewController::loadView() {
    setView(std::make_shared<View>(Screen::bounds()));
}

std::vector<std::shared_ptr<ViewController>> ViewController::childrenForAppearance() const {
    return children_;
}

void ViewController::beginAppearanceTransition(bool appearing, bool animated) {
    if (appearing) {
        if (appearance_ == AppearanceState::appeared || appearance_ == AppearanceState::appearing) return;
        loadViewIfNeeded();
        appearance_ = AppearanceState::appearing;
        transitionAnimated_ = animated;
        viewWillAppear(animated);
    } else {
        if (appearance_ == AppearanceState::disappeared || appearance_ == AppearanceState::disappearing)
            return;
        appearance_ = AppearanceState::disappearing;
        transitionAnimated_ = animated;
        viewWillDisappear(animated);
    }
    for (const auto& child : childrenForAppearance()) child->beginAppearanceTransition(appearing, animated);
}

void ViewController::endAppearanceTransition() {
    auto keep = weak_from_this().lock();
    if (appearance_ == AppearanceState::appearing) {
        appearance_ = AppearanceState::appeared;
        // The layout pass comes between will-appear and did-appear.
        viewWillLayoutSubviews();
        if (view_) view_->layoutIfNeeded();
        viewDidLayoutSubviews();
        viewDidAppear(transitionAnimated_);
        AppearanceHooks::notify(*this, AppearanceHooks::Event::didAppear);
    } else if (appearance_ == AppearanceState::disappearing) {
        appearance_ = AppearanceState::disappeared;
        viewDidDisappear(transitionAnimated_);
        AppearanceHooks::notify(*this, AppearanceHooks::Event::didDisappear);
    } else {
        return;
    }
    for (const auto& child : childrenForAppearance()) child->endAppearanceTransition();
}

void ViewController::appearanceTransition(bool appearing, bool animated) {
    beginAppearanceTransition(appearing, animated);
    endAppearanceTransition();
}

void ViewController::addChild(std::shared_ptr<ViewController> child) {
    if (!child || child.get() == this || child->parent_ == this) return;
    if (child->parent_) child->removeFromParent();
    child->parent_ = this;
    children_.push_back(std::move(child));
}

void ViewController::replaceChild(const std::shared_ptr<ViewController>& old,
                                  const std::shared_ptr<ViewController>& next, View& container) {
    bool onScreen = appearanceState() == AppearanceState::appeared;
    addChild(next);
    next->view()->setFrame(container.bounds());
    container.addSubview(next->view());
    if (onScreen) {
        if (old) old->beginAppearanceTransition(false, true);
        next->beginAppearanceTransition(true, true);
    }
    if (old) {
        if (old->viewIfLoaded()) old->viewIfLoaded()->removeFromSuperview();
        old->removeFromParent();
    }
    if (onScreen) {
        if (old) old->endAppearanceTransition();
        next->endAppearanceTransition();
    }
}

void ViewController::transitionChild(std::shared_ptr<ViewController>& current, std::shared_ptr<ViewController> next,
                                     const std::function<View&()>& container,
                                     const std::function<void(bool)>& completion) {
    if (!next || next == current) {
        if (completion) completion(static_cast<bool>(next));
        return;
    }
    auto keep = weak_from_this().lock();
    loadViewIfNeeded();
    auto old = current;
    current = next;
    replaceChild(old, next, container());
    if (completion) completion(true);
}

void ViewController::removeFromParent() {
    ViewController* parent = parent_;
    if (!parent) return;
    auto keep = weak_from_this().lock();
    auto& list = parent->children_;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& c) { return c.get() == this; }),
               list.end());
    parent_ = nullptr;
}

const ViewController* ViewController::outermost() const {
    const ViewController* c = this;
    while (c->parent_) c = c->parent_;
    return c;
}

ViewController* ViewController::presentationHost() {
    return const_cast<ViewController*>(outermost());
}

const std::shared_ptr<ViewController>& ViewController::presentedViewController() const {
    return outermost()->presented_;
}

ViewController* ViewController::presentingViewController() const {
    return outermost()->presenting_;
}

PopoverPresentationController& ViewController::popoverPresentationController() {
    if (!popover_) popover_ = std::make_shared<PopoverPresentationController>();
    return *popover_;
}

Window* ViewController::window() const {
    const ViewController* host = outermost();
    if (view_)
        if (Window* w = view_->window()) return w;
    return host->view_ ? host->view_->window() : nullptr;
}

bool ViewController::present(std::shared_ptr<ViewController> controller, bool animated,
                             std::function<void()> completion) {
    if (!controller) return false;
    ViewController* host = presentationHost();
    if (host->presented_) {
        log("Attempt to present " + controller->className() + " on " + host->className() +
            " which is already presenting " + host->presented_->className());
        return false;
    }
    if (controller->presenting_ || controller->parent_ || controller.get() == host) {
        log("Application tried to present modally a view controller " + controller->className() +
            " that is already being presented or is a child");
        return false;
    }
    host->presented_ = controller;
    controller->presenting_ = host;
    auto keep = controller;

    ModalPresentationStyle style = controller->modalStyle_;
    if (style == ModalPresentationStyle::popover && TraitCollection::idiom() == UserInterfaceIdiom::phone) {
        auto* delegate = controller->popover_ ? controller->popover_->delegate : nullptr;
        ModalPresentationStyle adapted =
            delegate ? delegate->adaptivePresentationStyle() : ModalPresentationStyle::fullScreen;
        if (adapted != ModalPresentationStyle::none) style = adapted;
    }
    controller->shownStyle_ = style;
    bool onScreen = host->appearance_ == AppearanceState::appeared;
    bool coversPresenter = style == ModalPresentationStyle::fullScreen;
    const auto& view = controller->view();
    if (Window* w = host->window()) {
        view->setFrame(w->bounds());
        w->addSubview(view);
    }
    if (onScreen) {
        if (coversPresenter) host->beginAppearanceTransition(false, animated);
        controller->beginAppearanceTransition(true, animated);
        if (coversPresenter) host->endAppearanceTransition();
        controller->endAppearanceTransition();
    }
    if (completion) completion();
    return true;
}

void ViewController::dismiss(bool animated, std::function<void()> completion) {
    // The controller that presents: this one, or the presenter of this one
    // (or of the presented ancestor of a child).
    ViewController* host = nullptr;
    const ViewController* top = outermost();
    if (top->presented_)
        host = const_cast<ViewController*>(top);
    else if (top->presenting_)
        host = top->presenting_;
    if (!host) {
        if (completion) completion();
        return;
    }
    std::shared_ptr<ViewController> target = host->presented_;
    auto keepHost = host->weak_from_this().lock();
    // Whatever the target presents goes first, without animation.
    if (target->presented_) target->presented_->dismiss(false);

    bool coversPresenter = target->shownStyle_ == ModalPresentationStyle::fullScreen;
    bool onScreen = target->appearance_ == AppearanceState::appeared;
    if (onScreen) {
        target->beginAppearanceTransition(false, animated);
        if (coversPresenter) host->beginAppearanceTransition(true, animated);
    }
    if (target->view_) target->view_->removeFromSuperview();
    host->presented_.reset();
    target->presenting_ = nullptr;
    if (onScreen) {
        target->endAppearanceTransition();
        if (coversPresenter) host->endAppearanceTransition();
    }
    if (completion) completion();
}

TableViewController::TableViewController(TableView::Style style) : style_(style) {}

TableViewController::~TableViewController() = default;

TableView& TableViewController::tableView() {
    return *tableViewPointer();
}

const std::shared_ptr<TableView>& TableViewController::tableViewPointer() {
    loadViewIfNeeded();
    return tableView_;
}

void TableViewController::loadView() {
    tableView_ = std::make_shared<TableView>(Screen::bounds(), style_);
    tableView_->setDataSource(this);
    tableView_->setDelegate(this);
    setView(tableView_);
}

std::shared_ptr<TableViewCell> TableViewController::cellForRowAt(TableView&, const IndexPath&) {
    fatalError(className() + " gives rows but no cells");
}

}  // namespace ui
