#include "Calvaro/screens/AppDelegate.h"
#include "Calvaro/screens/SolutionImageExport.h"
#include "platform/ui/AlertController.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/OnboardingManager.h"
#include "Calvaro/services/RatingViewController.h"
#include "app/CalvaroMain.h"
#include "platform/foundation/UserDefaults.h"

std::shared_ptr<ui::ApplicationDelegate> makeCalvaroAppDelegate() {
    AppDelegate::registerMainStoryboard();
    ui::ActivityViewController::setImageSaver(saveSharedImage);
    return std::make_shared<AppDelegate>();
}

// A start of Calvaro as a user sees it, in any language (every touch names an
// identifier, never a title): on a first start the tour under the
// privacy consent, the consent accepted and the tour walked to its end; when
// the rating prompt is due, the prompt put off; on every start the Calculate
// screen, an exercise typed on the keypad (with a sign toggled and a wrong
// digit deleted) and solved, and the drawer opened from the menu button.
std::string calvaroDemoScript() {
    auto defaults = foundation::UserDefaults::standard();
    bool consented = defaults.boolValue(DsgvoManager::isDsgvoAcceptedKey).value_or(false);
    bool onboarded = defaults.boolValue(OnboardingManager::isOnboardingFinishedKey).value_or(false);
    // The launch counts one visit of the Calculate screen; the prompt then
    // shows unless the tour or the consent is already in front.
    bool rated = defaults.boolValue(RatingViewController::isRatingAlreadyDoneKey).value_or(false);
    int64_t visitsLeft = defaults.integer(RatingViewController::counterForRatingKey)
                             .value_or(RatingViewController::visitsBeforePrompt);
    bool ratingDue = !rated && visitsLeft <= 1 && consented && onboarded;

    std::string script = "# A start of Calvaro\nsnapshot start\n";
    if (!consented) script += "alert #dsgvoAcceptButton\n";
    if (!onboarded) {
        script += "snapshot onboarding\n";
        for (int page = 0; page < 5; ++page) script += "tap onboardAdvanceButton\n";
    }
    if (ratingDue) script += "snapshot rating\ntap cancelRatingButton\n";
    script += "snapshot calculate\n";
    // Clear first: a used data root brings back the last inputs.
    script +=
        "tap toolbarRemoveButton\n"
        "tap aTextField\ntype 3\n"
        "tap bTextField\ntype 2\n"
        "tap cTextField\ntype 1-\n"
        "tap dTextField\ntype 7\ntap deleteButton\ntype 1\n"
        "tap zTextField\ntype 2\n"
        "snapshot input\n"
        "tap calculateButton\n"
        "snapshot solution\n";
    return script + "tap menuButton\nsnapshot menu\n";
}
