#pragma once

#include <memory>

#include "platform/ui/ViewController.h"

namespace ui {

class WindowScene;

// A window: the root of a view tree with a root view controller. Presented
// controllers' views are laid over the root view inside the window, in the
// order they were presented.
class Window : public View {
  public:
    // Posted with the window as object when it stops being the key window:
    // another window became key, or the application resigned active.
    static constexpr const char* didResignKeyNotification = "UIWindowDidResignKeyNotification";

    // The main screen's bounds.
    Window();
    explicit Window(const Rect& frame);
    ~Window() override;

    const std::shared_ptr<ViewController>& rootViewController() const { return root_; }
    // Puts the controller's view into the window; a visible window makes the
    // old root disappear and the new one appear.
    void setRootViewController(std::shared_ptr<ViewController> controller);
    // Attaches the window to the application's first scene (made when there
    // is none), makes it the key window and shows it: the root appears.
    void makeKeyAndVisible();
    bool isKeyWindow() const;
    bool isVisible() const { return visible_; }
    WindowScene* windowScene() const { return scene_; }
    EdgeInsets safeAreaInsets() const;
    // The topmost controller: the root, or the last one presented over it.
    ViewController* topViewController() const;

    std::string snapshotDescription() const override;

  private:
    friend class WindowScene;
    friend class Application;
    std::shared_ptr<ViewController> root_;
    WindowScene* scene_ = nullptr;
    bool visible_ = false;
};

}  // namespace ui
