#pragma once

#include <functional>
#include <memory>

#include "platform/ui/ViewController.h"

namespace kit {

class NavigationDrawerController;

class NavigationDrawerControllerDelegate {
  public:
    virtual ~NavigationDrawerControllerDelegate() = default;
    virtual void navigationDrawerWillOpen(NavigationDrawerController&) {}
    virtual void navigationDrawerDidOpen(NavigationDrawerController&) {}
    virtual void navigationDrawerWillClose(NavigationDrawerController&) {}
    virtual void navigationDrawerDidClose(NavigationDrawerController&) {}
};

// The drawer: a root controller filling the view and a left (and optional
// right) controller that slides over it. The side panels are hidden while
// closed. All three are children and appear with the drawer, as in the kit.
class NavigationDrawerController : public ui::ViewController, public ui::DrawerContainer {
  public:
    // The area beside the open drawer; a tap there closes the drawer.
    static constexpr const char* closeAreaIdentifier = "drawerCloseArea";

    NavigationDrawerController(std::shared_ptr<ui::ViewController> rootViewController,
                               std::shared_ptr<ui::ViewController> leftViewController = nullptr,
                               std::shared_ptr<ui::ViewController> rightViewController = nullptr);

    const std::shared_ptr<ui::ViewController>& rootViewController() const { return root_; }
    const std::shared_ptr<ui::ViewController>& leftViewController() const { return left_; }
    const std::shared_ptr<ui::ViewController>& rightViewController() const { return right_; }

    // Not owned.
    NavigationDrawerControllerDelegate* delegate() const { return delegate_; }
    void setDelegate(NavigationDrawerControllerDelegate* delegate) { delegate_ = delegate; }

    bool isLeftViewOpened() const { return leftOpen_; }
    void openLeftView(double velocity = 0);
    void closeLeftView(double velocity = 0);
    void toggleLeftView(double velocity = 0);
    // Puts `controller` in place of the root controller (the old one
    // disappears and is dropped), then runs the completion with true.
    void transition(std::shared_ptr<ui::ViewController> controller,
                    std::function<void(bool)> completion = {});

    // Called once the view is set up; subclasses style and call the base.
    virtual void prepare();

    void loadView() override;
    void viewDidLoad() override;

    bool isLeftOpen() const override { return leftOpen_; }
    void userOpenLeft() override { openLeftView(0); }
    void userCloseLeft() override { closeLeftView(0); }

  private:
    void placeLeftView();
    std::shared_ptr<ui::ViewController> root_;
    std::shared_ptr<ui::ViewController> left_;
    std::shared_ptr<ui::ViewController> right_;
    std::shared_ptr<ui::View> rootContainer_;
    std::shared_ptr<ui::View> leftContainer_;
    std::shared_ptr<ui::View> scrim_;  // beside the open drawer: a tap there closes it
    NavigationDrawerControllerDelegate* delegate_ = nullptr;
    bool leftOpen_ = false;
};

// The nearest drawer up the parent chain (and presenters), or null.
NavigationDrawerController* navigationDrawerController(const ui::ViewController& controller);

}  // namespace kit
