#include "Calvaro/screens/AppToolbarController.h"

#include "Calvaro/screens/CalculateViewController.h"
#include "Calvaro/screens/ColorManager.h"
#include "analytics/core/DEDIzurarove.h"
#include "platform/kit/Icon.h"
#include "platform/kit/NavigationDrawerController.h"

void AppToolbarController::prepare() {
    kit::ToolbarController::prepare();
    styleToolbar(toolbar());
    prepareMenuButton();
    setStatusBarStyle(kit::StatusBarStyle::lightContent);
    statusBar().setBackgroundColor(appDarkOrange());
    toolbar().setLeftViews({menuButton_});
    toolbar().titleLabel().setAdjustsFontSizeToFitWidth(true);
}

void AppToolbarController::prepareMenuButton() {
    menuButton_ = std::make_shared<kit::IconButton>(kit::Icon::menu(), nearBlackColor());
    menuButton_->setAccessibilityIdentifier(menuButtonIdentifier);
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    menuButton_->addTarget(ui::ControlEvent::touchUpInside, [weak](ui::Control&) {
        if (auto self = std::static_pointer_cast<AppToolbarController>(weak.lock())) self->handleMenuButton();
    });
}

void AppToolbarController::handleMenuButton() {
    DEDIzurarove::logEventWithName("tapped_menu_button");
    if (isCalculating) return;
    if (kit::NavigationDrawerController* drawer = kit::navigationDrawerController(*this)) drawer->toggleLeftView(0);
}
