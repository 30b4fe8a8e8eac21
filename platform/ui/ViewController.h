#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/TableView.h"
#include "platform/ui/View.h"

namespace ui {

class PopoverPresentationController;
class Window;

enum class ModalPresentationStyle {
    automatic = -2,
    none = -1,
    fullScreen = 0,
    pageSheet = 1,
    formSheet = 2,
    currentContext = 3,
    custom = 4,
    overFullScreen = 5,
    overCurrentContext = 6,
    popover = 7,
};

enum class AppearanceState { disappeared, appearing, appeared, disappearing };

// A screen's controller. Owned through shared pointers (create with
// std::make_shared): a controller owns its view, its children and the
// controller it presents; parent and presenter are not owned.
//
// The view is made on first use of view(): loadView(), then viewDidLoad().
// Appearance runs in the platform's order viewWillAppear, viewDidAppear,
// viewWillDisappear, viewDidDisappear, driven by the window, by presentation
// and by containers, which forward it to the children they show
// (childrenForAppearance). The overridable hooks need not call the base.
class ViewController : public std::enable_shared_from_this<ViewController> {
  public:
    ViewController();
    virtual ~ViewController();
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    // The class name without namespaces ("CalculateViewController").
    std::string className() const;

    // View.
    const std::shared_ptr<View>& view();
    bool isViewLoaded() const { return static_cast<bool>(view_); }
    const std::shared_ptr<View>& viewIfLoaded() const { return view_; }
    void setView(std::shared_ptr<View> view);
    void loadViewIfNeeded() { view(); }
    // Makes the root view: a plain view of the screen's size. Override to
    // build the layout (what the storyboard or nib held).
    virtual void loadView();
    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool animated) { (void)animated; }
    virtual void viewDidAppear(bool animated) { (void)animated; }
    virtual void viewWillDisappear(bool animated) { (void)animated; }
    virtual void viewDidDisappear(bool animated) { (void)animated; }
    virtual void viewWillLayoutSubviews() {}
    virtual void viewDidLayoutSubviews() {}

    AppearanceState appearanceState() const { return appearance_; }
    bool isVisible() const { return appearance_ == AppearanceState::appeared; }
    // Runs the appearance hooks of this controller and of the children it
    // shows; containers call these when they switch children.
    void beginAppearanceTransition(bool appearing, bool animated);
    void endAppearanceTransition();
    // Both at once: what a container does for a child it shows or hides.
    void appearanceTransition(bool appearing, bool animated);
    // The children that appear with this controller (default: all of them).
    virtual std::vector<std::shared_ptr<ViewController>> childrenForAppearance() const;

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }

    // Containment.
    ViewController* parent() const { return parent_; }
    // The nearest container of type T holding `controller` (itself included).
    template <typename T>
    static T* enclosing(const ViewController& controller) {
        for (auto* c = const_cast<ViewController*>(&controller); c; c = c->parent())
            if (auto* found = dynamic_cast<T*>(c)) return found;
        return nullptr;
    }
    const std::vector<std::shared_ptr<ViewController>>& children() const { return children_; }
    void addChild(std::shared_ptr<ViewController> child);
    void removeFromParent();
    // Puts the child `next` in place of the child `old` (which may be null),
    // its view filling `container`, with the appearance calls of both when
    // this controller is on screen; the containers' transitions all do this.
    void replaceChild(const std::shared_ptr<ViewController>& old, const std::shared_ptr<ViewController>& next,
                      View& container);
    // A container's transition to a new content controller: `next` takes the
    // place of `current` (which it updates) inside the view `container`
    // answers once this controller's view is loaded; the completion learns
    // whether anything was put in place.
    void transitionChild(std::shared_ptr<ViewController>& current, std::shared_ptr<ViewController> next,
                         const std::function<View&()>& container, const std::function<void(bool)>& completion);

    // Presentation. The presentation goes to the outermost controller of the
    // parent chain. While that controller is already presenting, a second
    // presentation is refused and logged, as on the platform; the completion
    // does not run and false comes back. Only the full-screen style takes the
    // presenter off the screen (it disappears and comes back on dismissal).
    // On a phone a popover adapts to full screen unless its delegate answers
    // the style none.
    bool present(std::shared_ptr<ViewController> controller, bool animated,
                 std::function<void()> completion = {});
    // Dismisses what this controller presents (and everything above it), or,
    // when it presents nothing, this controller itself.
    void dismiss(bool animated, std::function<void()> completion = {});
    const std::shared_ptr<ViewController>& presentedViewController() const;
    ViewController* presentingViewController() const;
    ModalPresentationStyle modalPresentationStyle() const { return modalStyle_; }
    void setModalPresentationStyle(ModalPresentationStyle style) { modalStyle_ = style; }
    // Made on first use (meaningful with the popover style).
    PopoverPresentationController& popoverPresentationController();
    bool isBeingPresented() const { return presenting_ != nullptr; }
    // The style the presentation was shown in (a popover may have adapted).
    ModalPresentationStyle shownPresentationStyle() const { return shownStyle_; }

    // The window of the view, or of the outermost ancestor's view.
    Window* window() const;

    // Free-form values other layers attach to a controller (the kit's tab
    // item, for instance), like the platform's associated objects.
    std::shared_ptr<void>& associatedObject(const std::string& key) { return associated_[key]; }

  private:
    friend class Window;
    ViewController* presentationHost();
    const ViewController* outermost() const;

    std::shared_ptr<View> view_;
    std::string title_;
    ViewController* parent_ = nullptr;
    std::vector<std::shared_ptr<ViewController>> children_;
    std::shared_ptr<ViewController> presented_;
    ViewController* presenting_ = nullptr;
    ModalPresentationStyle modalStyle_ = ModalPresentationStyle::automatic;
    ModalPresentationStyle shownStyle_ = ModalPresentationStyle::automatic;  // after adaptation
    std::shared_ptr<PopoverPresentationController> popover_;
    AppearanceState appearance_ = AppearanceState::disappeared;
    bool transitionAnimated_ = false;
    std::map<std::string, std::shared_ptr<void>> associated_;
};

// Answers of a popover's delegate.
class PopoverPresentationControllerDelegate {
  public:
    virtual ~PopoverPresentationControllerDelegate() = default;
    // The style used on a narrow screen; none keeps the popover a popover.
    virtual ModalPresentationStyle adaptivePresentationStyle() { return ModalPresentationStyle::fullScreen; }
};

class PopoverPresentationController {
  public:
    View* sourceView = nullptr;
    Rect sourceRect;
    PopoverPresentationControllerDelegate* delegate = nullptr;
};

// A controller whose view is a table and which is its data source and
// delegate (override the answers you need).
class TableViewController : public ViewController, public TableViewDataSource, public TableViewDelegate {
  public:
    explicit TableViewController(TableView::Style style = TableView::Style::plain);
    ~TableViewController() override;
    TableView& tableView();
    const std::shared_ptr<TableView>& tableViewPointer();
    void loadView() override;
    int64_t numberOfRowsInSection(TableView&, int64_t) override { return 0; }
    std::shared_ptr<TableViewCell> cellForRowAt(TableView& tableView, const IndexPath& indexPath) override;

  private:
    TableView::Style style_;
    std::shared_ptr<TableView> tableView_;
};

// Kit-independent roles of containers, so that the driver can choose tabs
// and open drawers without knowing the kit.
class TabContainer {
  public:
    virtual ~TabContainer() = default;
    virtual size_t tabCount() const = 0;
    virtual std::string tabTitle(size_t index) const = 0;
    virtual bool tabEnabled(size_t index) const = 0;
    // The hint of the tab's item (see View::accessibilityHint).
    virtual std::string tabHint(size_t) const { return {}; }
    virtual size_t selectedTabIndex() const = 0;
    // What a tap on a tab does.
    virtual void userSelectTab(size_t index) = 0;
};

// A container that shows one of its children in its own place: a navigation
// stack its visible controller, tabs the selected one, pages the page on
// show. Screen tracking looks through it to that child.
class ContentContainer {
  public:
    virtual ~ContentContainer() = default;
    virtual ViewController* shownViewController() const = 0;
};

class DrawerContainer {
  public:
    virtual ~DrawerContainer() = default;
    virtual bool isLeftOpen() const = 0;
    virtual void userOpenLeft() = 0;
    virtual void userCloseLeft() = 0;
};

}  // namespace ui
