#include "Calvaro/screens/AppDelegate.h"

#include "Calvaro/engine/CalcManager.h"
#include "Calvaro/screens/AppNavigationDrawerController.h"
#include "Calvaro/screens/AppPageTabBarController.h"
#include "Calvaro/screens/AppToolbarController.h"
#include "Calvaro/screens/CalculateViewController.h"
#include "Calvaro/screens/HistoryTableViewController.h"
#include "Calvaro/screens/LeftViewController.h"
#include "Calvaro/screens/ManualViewController.h"
#include "Calvaro/screens/MenuToolbarController.h"
#include "Calvaro/screens/SolutionViewController.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/RemoteConfigManager.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/kit/NavigationDrawerController.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/host/DEDApp.h"
#include "platform/ui/Storyboard.h"
#include "platform/ui/Traits.h"

namespace {

constexpr const char* kMainStoryboard = "Main";

template <typename T>
const std::shared_ptr<T>& instantiateFromMainStoryboard(std::shared_ptr<T>& slot, const char* identifier) {
    if (!slot) {
        AppDelegate::registerMainStoryboard();
        slot = ui::Storyboard(kMainStoryboard).instantiate<T>(identifier);
    }
    return slot;
}

bool flag(const char* key) { return foundation::UserDefaults::standard().boolValue(key).value_or(false); }

}  // namespace

const std::string& appTitle() {
    static const std::string title = foundation::localizedString("Calvaro");
    return title;
}

const OnboardingPageTable& onboardingPages() { return OnboardingManager::mainTourPages(); }

AppDelegate::~AppDelegate() = default;

void AppDelegate::registerMainStoryboard() {
    auto add = [](const char* identifier, ui::Storyboard::Builder builder) {
        if (!ui::Storyboard::isRegistered(kMainStoryboard, identifier))
            ui::Storyboard::registerBuilder(kMainStoryboard, identifier, std::move(builder));
    };
    add("CalculateViewController", [] { return std::make_shared<CalculateViewController>(); });
    add("LeftViewController", [] { return std::make_shared<LeftViewController>(); });
    add("SolutionViewController", [] { return std::make_shared<SolutionViewController>(); });
    add("HistoryTableViewController", [] { return std::make_shared<HistoryTableViewController>(); });
    if (!ui::Nib::isRegistered(ManualViewController::nibName))
        ui::Nib::registerController(ManualViewController::nibName, [] { return std::make_shared<ManualViewController>(); });
}

bool AppDelegate::didFinishLaunching(ui::Application&, const foundation::Value::Dictionary&) {
    if (!host::DEDApp::defaultApp()) host::DEDApp::configure();

    RemoteConfigManager& remoteContent = RemoteConfigManager::shared();
    remoteContent.loadAll(*remoteContent.remoteConfig());

    CalcManager::shared().prepareFirstStart();

    auto menu = std::make_shared<MenuToolbarController>(leftViewController());
    auto drawer = std::make_shared<AppNavigationDrawerController>(appToolbarController(), menu, nullptr);

    window_ = std::make_shared<ui::Window>(ui::Screen::bounds());
    window_->setRootViewController(drawer);
    window_->makeKeyAndVisible();

    showFirstStartScreens(drawer);
    return true;
}

void AppDelegate::applicationDidBecomeActive(ui::Application&) { RemoteConfigManager::shared().fetchRemoteConfig(); }

void AppDelegate::showFirstStartScreens(const std::shared_ptr<ui::ViewController>& root) {
    std::shared_ptr<ui::ViewController> onboarding;
    if (!flag(OnboardingManager::isOnboardingFinishedKey))
        onboarding = OnboardingManager::presentTour(onboardingPages(), *root, ui::ModalPresentationStyle::overFullScreen,
                                                    false);
    if (!flag(DsgvoManager::isDsgvoAcceptedKey)) DsgvoManager::showPrivacyConsent(onboarding ? onboarding : root);
}

const std::shared_ptr<CalculateViewController>& AppDelegate::calculateViewController() {
    return instantiateFromMainStoryboard(calculateViewController_, "CalculateViewController");
}

const std::shared_ptr<LeftViewController>& AppDelegate::leftViewController() {
    return instantiateFromMainStoryboard(leftViewController_, "LeftViewController");
}

const std::shared_ptr<SolutionViewController>& AppDelegate::solutionViewController() {
    return instantiateFromMainStoryboard(solutionViewController_, "SolutionViewController");
}

const std::shared_ptr<AppPageTabBarController>& AppDelegate::pageTabBarController() {
    if (!pageTabBarController_) {
        std::vector<std::shared_ptr<ui::ViewController>> pages{calculateViewController(), solutionViewController()};
        pageTabBarController_ = std::make_shared<AppPageTabBarController>(std::move(pages), 0);
    }
    return pageTabBarController_;
}

const std::shared_ptr<AppToolbarController>& AppDelegate::appToolbarController() {
    if (!appToolbarController_) appToolbarController_ = std::make_shared<AppToolbarController>(pageTabBarController());
    return appToolbarController_;
}

// The drawer's root becomes a fresh toolbar with tabs, Calculate and
// Solution screens, as at start-up; once it is in place, `from` closes the
// drawer's panel if it still reaches the drawer.
void AppDelegate::showFreshCalculateScreen(ui::ViewController& from) {
    kit::NavigationDrawerController* drawer = kit::navigationDrawerController(from);
    if (!drawer) return;
    AppDelegate factory;
    std::weak_ptr<ui::ViewController> weak = from.weak_from_this();
    // A screen that asked may go with the old tree while its table is still
    // on the stack handling the tap: it is let go once the tap has ended.
    dispatch::MainQueue::shared()->async([keep = from.shared_from_this()] {});
    drawer->transition(factory.appToolbarController(), [weak](bool) {
        auto self = weak.lock();
        if (!self) return;
        if (kit::NavigationDrawerController* again = kit::navigationDrawerController(*self)) again->closeLeftView(0);
    });
}
