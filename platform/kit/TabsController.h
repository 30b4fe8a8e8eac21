#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/kit/Buttons.h"
#include "platform/ui/ViewController.h"

namespace kit {

class TabsController;

// The tab of one controller in a tabs controller (see tabItem()).
class TabItem : public Button {
  public:
    TabItem() = default;
    std::string snapshotDescription() const override;
};

// The tab of a controller, made on first use and kept with the controller.
TabItem& tabItem(ui::ViewController& controller);

enum class TabBarAlignment { top = 0, bottom = 1, hidden = 2 };

class TabBar : public ui::View {
  public:
    static constexpr double defaultHeight = 48.0;
    TabBar();
    const std::vector<std::shared_ptr<TabItem>>& tabItems() const { return items_; }
    void setTabItems(std::vector<std::shared_ptr<TabItem>> items);
    std::optional<ui::Color> dividerColor() const { return divider_; }
    void setDividerColor(std::optional<ui::Color> color) { divider_ = std::move(color); }
    std::optional<ui::Color> lineColor() const { return line_; }
    void setLineColor(std::optional<ui::Color> color) { line_ = std::move(color); }
    // The kit's option for how the selection line is drawn (kept only).
    int64_t lineAlignment() const { return lineAlignment_; }
    void setLineAlignment(int64_t value) { lineAlignment_ = value; }
    std::string snapshotDescription() const override { return "tabs"; }

  private:
    std::vector<std::shared_ptr<TabItem>> items_;
    std::optional<ui::Color> divider_;
    std::optional<ui::Color> line_;
    int64_t lineAlignment_ = 0;
};

class TabsControllerDelegate {
  public:
    virtual ~TabsControllerDelegate() = default;
    virtual bool tabsControllerShouldSelect(TabsController&, ui::ViewController&) { return true; }
    virtual void tabsControllerWillSelect(TabsController&, ui::ViewController&) {}
    virtual void tabsControllerDidSelect(TabsController&, ui::ViewController&) {}
};

// Pages with a tab bar; only the selected page's view is shown and appears.
class TabsController : public ui::ViewController, public ui::TabContainer, public ui::ContentContainer {
  public:
    TabsController(std::vector<std::shared_ptr<ui::ViewController>> viewControllers,
                   size_t selectedIndex = 0);

    const std::vector<std::shared_ptr<ui::ViewController>>& viewControllers() const { return pages_; }
    size_t selectedIndex() const { return selected_; }
    // Selects a page (out of range: nothing); the old page disappears and
    // the new one appears when the tabs are on screen.
    void select(size_t index);
    TabBar& tabBar() { return *tabBar_; }
    TabBarAlignment tabBarAlignment() const { return alignment_; }
    void setTabBarAlignment(TabBarAlignment alignment) { alignment_ = alignment; }
    TabsControllerDelegate* delegate() const { return delegate_; }
    void setDelegate(TabsControllerDelegate* delegate) { delegate_ = delegate; }

    virtual void prepare();
    void loadView() override;
    void viewDidLoad() override;
    std::vector<std::shared_ptr<ui::ViewController>> childrenForAppearance() const override;

    size_t tabCount() const override { return pages_.size(); }
    std::string tabTitle(size_t index) const override;
    bool tabEnabled(size_t index) const override;
    std::string tabHint(size_t index) const override;
    size_t selectedTabIndex() const override { return selected_; }
    void userSelectTab(size_t index) override;
    ui::ViewController* shownViewController() const override {
        return selected_ < pages_.size() ? pages_[selected_].get() : nullptr;
    }

  private:
    void placeSelected();
    std::vector<std::shared_ptr<ui::ViewController>> pages_;
    size_t selected_;
    std::shared_ptr<TabBar> tabBar_;
    std::shared_ptr<ui::View> container_;
    TabBarAlignment alignment_ = TabBarAlignment::bottom;
    TabsControllerDelegate* delegate_ = nullptr;
};

// The nearest tabs controller up the parent chain, or null.
TabsController* tabsController(const ui::ViewController& controller);

}  // namespace kit
