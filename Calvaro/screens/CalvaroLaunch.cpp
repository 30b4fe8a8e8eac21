#include "Calvaro/screens/AppDelegate.h"
#include "app/CalvaroMain.h"

std::shared_ptr<ui::ApplicationDelegate> makeCalvaroAppDelegate() {
    AppDelegate::registerMainStoryboard();
    return std::make_shared<AppDelegate>();
}

// A first start: the tour under the privacy consent, the consent accepted,
// the tour walked to its end, then the drawer opened from the menu button.
std::string calvaroDemoScript() {
    return "# A first start of Calvaro\n"
           "snapshot first start\n"
           "alert Accept\n"
           "snapshot onboarding\n"
           "tap onboardAdvanceButton\n"
           "tap onboardAdvanceButton\n"
           "tap onboardAdvanceButton\n"
           "tap onboardAdvanceButton\n"
           "tap onboardAdvanceButton\n"
           "snapshot calculate\n"
           "tap menuButton\n"
           "snapshot menu\n";
}
