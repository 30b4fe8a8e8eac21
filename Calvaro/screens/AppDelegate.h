#pragma once

#include <memory>
#include <string>

#include "Calvaro/services/OnboardingManager.h"
#include "platform/ui/Application.h"
#include "platform/ui/Window.h"

class CalculateViewController;
class LeftViewController;
class SolutionViewController;
class AppPageTabBarController;
class AppToolbarController;

// The localized product title.
const std::string& appTitle();
// The main onboarding tour's page table.
const OnboardingPageTable& onboardingPages();

// The application delegate: launch, activation and the controller tree.
// Also a factory: a delegate that was only constructed builds nothing until
// one of its lazy controllers is read, so callers make a throw-away one to
// obtain a fresh toolbar-and-tabs tree.
class AppDelegate : public ui::ApplicationDelegate {
public:
    AppDelegate() = default;
    ~AppDelegate() override;

    bool didFinishLaunching(ui::Application& application, const foundation::Value::Dictionary& options) override;
    void applicationDidBecomeActive(ui::Application& application) override;

    const std::shared_ptr<ui::Window>& window() const { return window_; }

    const std::shared_ptr<CalculateViewController>& calculateViewController();
    const std::shared_ptr<LeftViewController>& leftViewController();
    const std::shared_ptr<SolutionViewController>& solutionViewController();
    const std::shared_ptr<AppPageTabBarController>& pageTabBarController();
    const std::shared_ptr<AppToolbarController>& appToolbarController();

    // The onboarding tour unless it was finished, then the privacy consent
    // unless it was accepted (over the tour when one is shown).
    static void showFirstStartScreens(const std::shared_ptr<ui::ViewController>& root);

    // Puts a fresh toolbar-and-tabs tree in the drawer that holds `from`
    // (nothing outside a drawer) and closes the drawer's panel afterwards.
    static void showFreshCalculateScreen(ui::ViewController& from);

    // Registers the screens of the storyboard "Main" (once per builder reset).
    static void registerMainStoryboard();

private:
    std::shared_ptr<ui::Window> window_;
    std::shared_ptr<CalculateViewController> calculateViewController_;
    std::shared_ptr<LeftViewController> leftViewController_;
    std::shared_ptr<SolutionViewController> solutionViewController_;
    std::shared_ptr<AppPageTabBarController> pageTabBarController_;
    std::shared_ptr<AppToolbarController> appToolbarController_;
};
