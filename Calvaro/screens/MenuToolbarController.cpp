#include "Calvaro/screens/MenuToolbarController.h"

#include "Calvaro/screens/AppDelegate.h"
#include "Calvaro/screens/ColorManager.h"
#include "platform/foundation/Bundle.h"

void MenuToolbarController::prepare() {
    kit::ToolbarController::prepare();
    styleToolbar(toolbar());
    statusBar().setHidden(true);
    styleMenuToolbar();
}

void MenuToolbarController::styleMenuToolbar() {
    kit::Toolbar& bar = toolbar();
    bar.setContentEdgeInsets({57, 0, 0, 0});
    bar.setBackgroundColor(appDarkOrange());
    bar.setTitle("  " + foundation::localizedString(appTitle()) + "  ");
    bar.titleLabel().setAdjustsFontSizeToFitWidth(true);
    const ui::Rect frame = bar.frame();
    bar.setFrame(ui::Rect(frame.x(), frame.y(), frame.width(), toolbarHeight));
}
