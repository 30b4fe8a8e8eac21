#include "Calvaro/services/DsgvoManager.h"

#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/AlertController.h"

namespace {

using foundation::localizedString;

std::shared_ptr<ui::AlertAction> storingAction(const std::string& title, const char* identifier,
                                               const char* key, bool value, std::function<void()> then) {
    auto action = std::make_shared<ui::AlertAction>(title, ui::AlertActionStyle::defaultStyle,
                                                    [key, value, then = std::move(then)](ui::AlertAction&) {
                                                        foundation::UserDefaults::standard().set(key, value);
                                                        if (then) then();
                                                    });
    action->setAccessibilityIdentifier(identifier);
    return action;
}

}  // namespace

void DsgvoManager::showPrivacyConsent(std::shared_ptr<ui::ViewController> presenter, std::function<void()> completion) {
    dispatch::MainQueue::shared()->async([presenter = std::move(presenter), completion = std::move(completion)] {
        auto alert = ui::AlertController::create(localizedString("dsgvoTitlePro", "Privacy Policy"),
                                                 localizedString("dsgvoTextPro", "dsgvoTextPro"),
                                                 ui::AlertControllerStyle::alert);
        alert->addAction(storingAction(localizedString("dsgvoAccept", "Accept"), "dsgvoAcceptButton",
                                       isDsgvoAcceptedKey, true, completion));
        presenter->present(alert, true);
    });
}

void DsgvoManager::showYoutubeConsent(std::shared_ptr<ui::ViewController> presenter, std::function<void()> accepted,
                                      std::function<void()> declined) {
    dispatch::MainQueue::shared()->async([presenter = std::move(presenter), accepted = std::move(accepted),
                                          declined = std::move(declined)] {
        auto alert = ui::AlertController::create(localizedString("dsgvoYoutubeTitle", "Youtube Privacy Policy"),
                                                 localizedString("dsgvoYoutubeText", "Youtube Dsgvo Text"),
                                                 ui::AlertControllerStyle::alert);
        alert->addAction(storingAction(localizedString("dsgvoAccept", "Accept"), "youtubeDsgvoAcceptButton",
                                       isYoutubeDsgvoAcceptedKey, true, accepted));
        alert->addAction(storingAction(localizedString("dsgvoDecline", "Decline"),
                                       "youtubeDsgvoDeclineButton", isYoutubeDsgvoAcceptedKey, false,
                                       declined));
        presenter->present(alert, true);
    });
}
