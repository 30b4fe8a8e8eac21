#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRScreenViewReporterInterface.h"
#include "analytics/reporters/MSRScreen.h"
#include "platform/dispatch/SerialQueue.h"

namespace ui {
class ViewController;
class Window;
}  // namespace ui

// An observer of every appearance, told whether the reporter tracks the
// controller, and of every disappearance (main thread). Both are required.
struct MSRScreenViewReporterDelegate {
    std::function<void(ui::ViewController&, bool trackedByAnalytics)> viewControllerDidAppear;
    std::function<void(ui::ViewController&)> viewControllerDidDisappear;
};

// Which screen the user sees. Controllers appearing and disappearing (the
// platform's appearance hooks) go on a stack per window, the top one becomes
// the current screen, and each change of screen logs "_vs". The application
// may name the screen itself or log "screen_view". The reporter also keeps
// whether the application is active and tells the session and ad-exposure
// reporters about activity and screen changes.
//
// Threads: controllers, windows and the stacks belong to the main thread; the
// current and previous screens and the instance-id counter live on the
// serial queue "MSRScreenViewReporter" and are touched only in its blocks.
// Those blocks call nothing outside the reporter, so the session and
// ad-exposure reporters may read the screen parameters from their own queues
// without any order of waits turning into a cycle.
class MSRScreenViewReporter : public MSRScreenViewReporterInterface,
                              public std::enable_shared_from_this<MSRScreenViewReporter> {
  public:
    static constexpr const char* kQueueLabel = "MSRScreenViewReporter";

    // Made on first use; it observes the application from then on.
    static std::shared_ptr<MSRScreenViewReporter> sharedInstance();

    ~MSRScreenViewReporter() override;

    // From the appearance hooks (main thread).
    void viewControllerDidAppear(ui::ViewController& viewController);
    void viewControllerDidDisappear(ui::ViewController& viewController);

    // MSRScreenViewReporterInterface.
    void setScreenName(const std::optional<std::string>& screenName,
                       const std::optional<std::string>& screenClass) override;
    void trackScreenWithParameters(const MSRObjectDictionary& parameters, double timestamp) override;
    // "_si", "_sc", "_sn" of the current screen; nothing while the
    // application is in the background after its first activation, or when
    // reporting is off and no screen was ever set.
    std::optional<MSRParameters> screenParameters() override;
    bool isAppActive() override { return isAppActive_.load(); }

    void getScreenName(std::optional<std::string>* screenName, std::optional<std::string>* screenClass);
    void setCurrentViewController(ui::ViewController* viewController);

    // Held weakly. One at a time: a second one while one lives is refused
    // (31016), one lacking a call is refused (31019); null clears it.
    void setVuzedezoPerfDelegate(const std::shared_ptr<MSRScreenViewReporterDelegate>& delegate);
    std::shared_ptr<MSRScreenViewReporterDelegate> vuzedezoPerfDelegate();

    // A window stopped being key (main thread): the key window's top screen
    // becomes current.
    void handleWindowDidResign();

    // The application's activity (main thread).
    void handleApplicationDidBecomeActive();
    void handleApplicationWillResignActive();
    void handleApplicationDidEnterBackground();

    // The controller of a window's stack whose screen the user sees (the walk
    // is described in the source), or null for an empty stack.
    static ui::ViewController* MSRTopViewController(
        const std::vector<std::weak_ptr<ui::ViewController>>& stack);
    // The view is loaded and inside the key window.
    static bool MSRIsTrackableViewController(const ui::ViewController& viewController);
    // The class name without namespaces, cut after its last "." when one
    // stands before the last character.
    static std::string MSRShortClassName(const ui::ViewController& viewController);

  private:
    struct ScreenChange {
        std::shared_ptr<MSRScreen> previous;
        std::shared_ptr<MSRScreen> screen;
    };

    MSRScreenViewReporter();
    void subscribeToApplicationNotifications();
    void onQueue(const std::function<void()>& block);
    int64_t incrementScreenInstanceID();
    void screenDidChange(const ScreenChange& change, const MSRParameters& extraParameters);
    void postScreenDidChangeNotificationWithPreviousScreen(const MSRScreen* previous,
                                                           const MSRScreen* screen);
    void logViewScreenEventWithPreviousScreen(const std::shared_ptr<MSRScreen>& previous,
                                              const std::shared_ptr<MSRScreen>& screen,
                                              const MSRParameters& parameters);
    void selectTopOfStack(std::vector<std::weak_ptr<ui::ViewController>>& stack);

    std::shared_ptr<dispatch::SerialQueue> queue_;
    std::mutex delegateMutex_;
    std::weak_ptr<MSRScreenViewReporterDelegate> delegate_;
    std::atomic<bool> isAppActive_{false};
    std::atomic<bool> appHasBeenInitialized_{false};

    // On the queue only.
    std::weak_ptr<ui::ViewController> currentViewController_;
    std::shared_ptr<MSRScreen> currentScreen_;
    std::shared_ptr<MSRScreen> previousScreen_;
    int64_t currentScreenInstanceID_ = 0;
};
