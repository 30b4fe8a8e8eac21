#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/kit/Icon.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"

namespace kit {

// The bar at the top of a screen: a title (with an optional detail line)
// between left views and right views.
class Toolbar : public ui::View {
  public:
    static constexpr double defaultHeight = 56.0;
    Toolbar();

    const std::string& title() const { return titleLabel_->text(); }
    void setTitle(std::string title) { titleLabel_->setText(std::move(title)); }
    const std::string& detail() const { return detailLabel_->text(); }
    void setDetail(std::string detail) { detailLabel_->setText(std::move(detail)); }
    ui::Label& titleLabel() { return *titleLabel_; }
    ui::Label& detailLabel() { return *detailLabel_; }

    const std::vector<std::shared_ptr<ui::View>>& leftViews() const { return left_; }
    void setLeftViews(std::vector<std::shared_ptr<ui::View>> views);
    const std::vector<std::shared_ptr<ui::View>>& rightViews() const { return right_; }
    void setRightViews(std::vector<std::shared_ptr<ui::View>> views);
    ui::EdgeInsets contentEdgeInsets() const { return insets_; }
    void setContentEdgeInsets(const ui::EdgeInsets& insets) { insets_ = insets; }
    DepthPreset depthPreset() const { return depth_; }
    void setDepthPreset(DepthPreset depth) { depth_ = depth; }

    // Left views from the left edge, right views from the right, each as wide
    // as it is (an icon's 48 points when it has no width) and centred
    // vertically; the title (and detail) fill the room between.
    void layoutSubviews() override;
    std::string snapshotDescription() const override;
    // Listed under the toolbar: left views, then right views.
    std::vector<std::shared_ptr<ui::View>> snapshotSubviews() const override { return barItems(); }
    std::vector<std::shared_ptr<ui::View>> barItems() const;

  private:
    void rebuild();
    std::shared_ptr<ui::Label> titleLabel_;
    std::shared_ptr<ui::Label> detailLabel_;
    std::vector<std::shared_ptr<ui::View>> left_;
    std::vector<std::shared_ptr<ui::View>> right_;
    ui::EdgeInsets insets_;
    DepthPreset depth_ = DepthPreset::depth1;
};

enum class StatusBarStyle { defaultStyle = 0, lightContent = 1, darkContent = 3 };

// A controller with a toolbar above its root controller's view.
class ToolbarController : public ui::ViewController {
  public:
    explicit ToolbarController(std::shared_ptr<ui::ViewController> rootViewController);

    const std::shared_ptr<ui::ViewController>& rootViewController() const { return root_; }
    Toolbar& toolbar() { return *toolbar_; }
    const std::shared_ptr<Toolbar>& toolbarPointer() const { return toolbar_; }
    // The status bar area above the toolbar.
    ui::View& statusBar() { return *statusBar_; }
    StatusBarStyle statusBarStyle() const { return statusBarStyle_; }
    void setStatusBarStyle(StatusBarStyle style) { statusBarStyle_ = style; }

    // Puts `controller` in place of the root controller below the toolbar.
    void transition(std::shared_ptr<ui::ViewController> controller,
                    std::function<void(bool)> completion = {});

    virtual void prepare();
    void loadView() override;
    void viewDidLoad() override;

  private:
    void layoutParts();
    void placeRoot();
    std::shared_ptr<ui::ViewController> root_;
    std::shared_ptr<Toolbar> toolbar_;
    std::shared_ptr<ui::View> statusBar_;
    std::shared_ptr<ui::View> container_;
    StatusBarStyle statusBarStyle_ = StatusBarStyle::defaultStyle;
};

// The nearest toolbar controller up the parent chain, or null.
ToolbarController* toolbarController(const ui::ViewController& controller);

}  // namespace kit
