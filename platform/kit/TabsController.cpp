#include "platform/kit/TabsController.h"

#include "platform/ui/Traits.h"

namespace kit {

namespace {
std::shared_ptr<TabItem> tabItemPointer(ui::ViewController& controller) {
    auto& slot = controller.associatedObject("kit.tabItem");
    if (!slot) slot = std::make_shared<TabItem>();
    return std::static_pointer_cast<TabItem>(slot);
}
}  // namespace

TabItem& tabItem(ui::ViewController& controller) {
    return *tabItemPointer(controller);
}

std::string TabItem::snapshotDescription() const {
    std::string line = "tab " + ui::quoted(title());
    if (!accessibilityIdentifier().empty()) line += " #" + accessibilityIdentifier();
    if (isSelected()) line += " selected";
    if (!isEnabled()) line += " disabled";
    return line;
}

TabBar::TabBar() : ui::View(ui::Rect(0, 0, ui::Screen::bounds().width(), defaultHeight)) {}

void TabBar::setTabItems(std::vector<std::shared_ptr<TabItem>> items) {
    for (const auto& sub : std::vector<std::shared_ptr<ui::View>>(subviews())) sub->removeFromSuperview();
    items_ = std::move(items);
    double width = items_.empty() ? 0 : frame().width() / static_cast<double>(items_.size());
    for (size_t i = 0; i < items_.size(); ++i) {
        items_[i]->setFrame(ui::Rect(width * static_cast<double>(i), 0, width, frame().height()));
        addSubview(items_[i]);
    }
}

TabsController::TabsController(std::vector<std::shared_ptr<ui::ViewController>> viewControllers,
                               size_t selectedIndex)
    : pages_(std::move(viewControllers)), selected_(selectedIndex < pages_.size() ? selectedIndex : 0) {
    for (const auto& page : pages_) addChild(page);
}

void TabsController::loadView() {
    ui::Rect bounds = ui::Screen::bounds();
    auto view = std::make_shared<ui::View>(bounds);
    tabBar_ = std::make_shared<TabBar>();
    container_ = std::make_shared<ui::View>(bounds);
    // The bar is listed before the page it selects.
    view->addSubview(tabBar_);
    view->addSubview(container_);
    std::vector<std::shared_ptr<TabItem>> items;
    for (size_t i = 0; i < pages_.size(); ++i) {
        auto item = tabItemPointer(*pages_[i]);
        item->removeAllTargets();
        std::weak_ptr<ui::ViewController> weakSelf = weak_from_this();
        item->addTarget(ui::ControlEvent::touchUpInside, [weakSelf, i](ui::Control&) {
            if (auto self = weakSelf.lock()) static_cast<TabsController&>(*self).userSelectTab(i);
        });
        items.push_back(item);
    }
    tabBar_->setTabItems(std::move(items));
    setView(view);
}

void TabsController::viewDidLoad() {
    prepare();
    // The bar sits where prepare put it; the pages fill the rest.
    ui::Rect bounds = view()->bounds();
    double barHeight = alignment_ == TabBarAlignment::hidden ? 0 : TabBar::defaultHeight;
    tabBar_->setHidden(alignment_ == TabBarAlignment::hidden);
    double barY = alignment_ == TabBarAlignment::top ? 0 : bounds.height() - barHeight;
    tabBar_->setFrame(ui::Rect(0, barY, bounds.width(), barHeight));
    double pageY = alignment_ == TabBarAlignment::top ? barHeight : 0;
    container_->setFrame(ui::Rect(0, pageY, bounds.width(), bounds.height() - barHeight));
    placeSelected();
}

void TabsController::prepare() {}

void TabsController::placeSelected() {
    for (const auto& sub : std::vector<std::shared_ptr<ui::View>>(container_->subviews()))
        sub->removeFromSuperview();
    for (size_t i = 0; i < pages_.size(); ++i) tabItemPointer(*pages_[i])->setSelected(i == selected_);
    if (selected_ >= pages_.size()) return;
    const auto& page = pages_[selected_]->view();
    page->setFrame(container_->bounds());
    container_->addSubview(page);
}

void TabsController::select(size_t index) {
    if (index >= pages_.size() || index == selected_) return;
    auto keep = weak_from_this().lock();
    auto old = pages_[selected_];
    auto next = pages_[index];
    bool onScreen = appearanceState() == ui::AppearanceState::appeared;
    if (onScreen) {
        old->beginAppearanceTransition(false, true);
        next->beginAppearanceTransition(true, true);
    }
    selected_ = index;
    if (isViewLoaded()) placeSelected();
    if (onScreen) {
        old->endAppearanceTransition();
        next->endAppearanceTransition();
    }
}

std::vector<std::shared_ptr<ui::ViewController>> TabsController::childrenForAppearance() const {
    if (selected_ >= pages_.size()) return {};
    return {pages_[selected_]};
}

std::string TabsController::tabTitle(size_t index) const {
    return index < pages_.size() ? tabItemPointer(*pages_[index])->title() : "";
}

bool TabsController::tabEnabled(size_t index) const {
    return index < pages_.size() && tabItemPointer(*pages_[index])->isEnabled();
}

std::string TabsController::tabHint(size_t index) const {
    return index < pages_.size() ? tabItemPointer(*pages_[index])->accessibilityHint() : std::string();
}

void TabsController::userSelectTab(size_t index) {
    if (index >= pages_.size() || !tabItemPointer(*pages_[index])->isEnabled()) return;
    auto& page = *pages_[index];
    if (delegate_ && !delegate_->tabsControllerShouldSelect(*this, page)) return;
    if (delegate_) delegate_->tabsControllerWillSelect(*this, page);
    select(index);
    if (delegate_) delegate_->tabsControllerDidSelect(*this, page);
}

TabsController* tabsController(const ui::ViewController& controller) {
    return ui::ViewController::enclosing<TabsController>(controller);
}

}  // namespace kit
