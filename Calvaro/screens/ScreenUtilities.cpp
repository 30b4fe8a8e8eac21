#include "Calvaro/screens/ScreenUtilities.h"

#include "Calvaro/screens/ColorManager.h"
#include "Calvaro/services/RemoteConfigManager.h"
#include "analytics/core/DEDIzurarove.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/kit/TabsController.h"
#include "platform/net/CurlNetwork.h"
#include "platform/ui/Application.h"

namespace {

constexpr const char* kInternetCheckHost = "www.wikipedia.org";

foundation::SharedSlot<net::Network>& networkSlot() {
    static foundation::SharedSlot<net::Network> slot;
    return slot;
}

std::shared_ptr<net::Network> internetCheckNetwork() {
    return networkSlot().getOrMake([]() -> std::shared_ptr<net::Network> {
        net::NetworkConfiguration configuration;
        configuration.allowedSchemes = {"https"};
        configuration.allowedHosts = {kInternetCheckHost};
        return std::make_shared<net::CurlNetwork>(configuration);
    });
}

std::string noInternetTitle() { return foundation::localizedString("noInternet", "No internet"); }

}  // namespace

void prepareTabItem(ui::ViewController& controller, const std::string& title, bool enabled,
                    const std::string& whenDisabled) {
    kit::TabItem& item = kit::tabItem(controller);
    item.setAccessibilityHint(enabled ? std::string() : whenDisabled);
    item.setTitle(title);
    item.setTitleColor(nearBlackColor());
    item.titleLabel().setFont(ui::Font::named("Avenir-Medium", 14.0));
    item.setEnabled(enabled);
    item.setTitleColor(enabled ? nearBlackColor() : ui::Color::systemGray());
}

void presentAlert(ui::ViewController& controller, std::optional<std::string> title,
                  std::optional<std::string> message, const std::vector<std::shared_ptr<ui::AlertAction>>& actions,
                  ui::AlertControllerStyle style) {
    auto alert = ui::AlertController::create(std::move(title), std::move(message), style);
    for (const auto& action : actions) alert->addAction(action);
    if (actions.empty())
        alert->addAction(std::make_shared<ui::AlertAction>("OK", ui::AlertActionStyle::defaultStyle));
    controller.present(alert, true);
}

void prepareForKeypad(ui::TextField& field) {
    field.setInputView(std::make_shared<ui::View>(ui::Rect()));
    field.setAutocorrection(false);
    field.setShowsShortcutBar(false);
}

void rateApp(ui::ViewController& controller) {
    std::optional<AppMetaData> app = RemoteConfigManager::shared().currentApp();
    if (!app) {
        presentAlert(controller, noInternetTitle(), std::nullopt, {}, ui::AlertControllerStyle::alert);
        return;
    }
    ui::Application& application = ui::Application::shared();
    if (!application.canOpenURL(app->ratingURLPro)) return;
    application.open(app->ratingURLPro);
    auto english = app->appName.find("en");
    DEDIzurarove::logEventWithName("Tapped Rating in Menu",
                                   DEDIzurarove::Parameters{
                                       {"kalApp", english != app->appName.end() ? english->second : std::string()}});
}

void setInternetCheckNetwork(std::shared_ptr<net::Network> network) {
    networkSlot().set(std::move(network));
}

namespace {
// The check reads only whether an answer comes.
constexpr size_t kInternetCheckResponseBytes = 64 * 1024;
}  // namespace

const std::string& internetCheckAddress() {
    static const std::string address = std::string("https://") + kInternetCheckHost + "/";
    return address;
}

void checkInternetConnection(ui::ViewController& controller, std::function<void()> success,
                             std::function<void()> failure) {
    static const std::shared_ptr<dispatch::SerialQueue> completionQueue =
        dispatch::SerialQueue::create("InternetCheckQueue");
    auto keep = controller.shared_from_this();
    internetCheckNetwork()->getURL(
        internetCheckAddress(), {}, kInternetCheckResponseBytes, completionQueue, false,
        [keep, success = std::move(success), failure = std::move(failure)](
            const net::Response& response, const std::vector<uint8_t>&, const std::optional<net::Error>& error) {
            // Any answer will do, a page larger than what is read of it too.
            const bool answered =
                error ? error->code == net::Error::kResponseTooLarge : response.statusCode > 0;
            dispatch::MainQueue::shared()->async([keep, answered, success, failure] {
                if (answered) {
                    if (success) success();
                    return;
                }
                std::vector<std::shared_ptr<ui::AlertAction>> actions;
                if (failure)
                    actions.push_back(std::make_shared<ui::AlertAction>(
                        "OK", ui::AlertActionStyle::defaultStyle, [failure](ui::AlertAction&) { failure(); }));
                presentAlert(*keep, noInternetTitle(), std::nullopt, actions, ui::AlertControllerStyle::alert);
            });
        });
}

double bottomSafeAreaInset() {
    const auto& scenes = ui::Application::shared().connectedScenes();
    if (scenes.empty()) return 0;
    auto* scene = dynamic_cast<ui::WindowScene*>(scenes.front().get());
    if (!scene || scene->windows().empty()) return 0;
    return scene->windows().back()->safeAreaInsets().bottom;
}

PopoverKeepingDelegate& PopoverKeepingDelegate::shared() {
    static PopoverKeepingDelegate delegate;
    return delegate;
}
