#include "Calvaro/screens/AppDelegate.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/OnboardingManager.h"
#include "app/CalvaroMain.h"
#include "platform/foundation/UserDefaults.h"

std::shared_ptr<ui::ApplicationDelegate> makeCalvaroAppDelegate() {
    AppDelegate::registerMainStoryboard();
    return std::make_shared<AppDelegate>();
}

// A start of Calvaro as a user sees it: on a first start the tour under the
// privacy consent, the consent accepted and the tour walked to its end; on
// every start the Calculate screen and the drawer opened from the menu button.
std::string calvaroDemoScript() {
    auto defaults = foundation::UserDefaults::standard();
    bool consented = defaults.boolValue(DsgvoManager::isDsgvoAcceptedKey).value_or(false);
    bool onboarded = defaults.boolValue(OnboardingManager::isOnboardingFinishedKey).value_or(false);

    std::string script = "# A start of Calvaro\nsnapshot start\n";
    if (!consented) script += "alert Accept\n";
    if (!onboarded) {
        script += "snapshot onboarding\n";
        for (int page = 0; page < 5; ++page) script += "tap onboardAdvanceButton\n";
    }
    return script + "snapshot calculate\ntap menuButton\nsnapshot menu\n";
}
