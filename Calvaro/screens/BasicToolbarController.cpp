#include "Calvaro/screens/BasicToolbarController.h"

#include "Calvaro/screens/ColorManager.h"

void BasicToolbarController::prepare() {
    kit::ToolbarController::prepare();
    styleToolbar(toolbar());
}

void BasicToolbarController::styleToolbar(kit::Toolbar& toolbar) {
    toolbar.setDepthPreset(kit::DepthPreset::none);
    toolbar.setBackgroundColor(appLightOrange());
    toolbar.titleLabel().setTextColor(nearBlackColor());
    toolbar.detailLabel().setTextColor(nearBlackColor());
    toolbar.titleLabel().setTextAlignment(ui::TextAlignment::left);
    toolbar.titleLabel().setFont(ui::Font::named("Avenir-Heavy", 20));
    toolbar.detailLabel().setTextAlignment(ui::TextAlignment::left);
}
