#include "Calvaro/screens/AppPageTabBarController.h"

#include "Calvaro/screens/ColorManager.h"
#include "platform/kit/Icon.h"

void AppPageTabBarController::prepare() {
    kit::TabsController::prepare();
    view()->setBackgroundColor(kit::MaterialColor::blueGreyLighten5());
    setDelegate(this);
    setTabBarAlignment(kit::TabBarAlignment::top);
    kit::TabBar& bar = tabBar();
    bar.setDividerColor(std::nullopt);
    bar.setLineColor(appPink());
    bar.setLineAlignment(1);
    bar.setBackgroundColor(appOrange());
}
