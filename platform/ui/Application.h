#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/ui/Window.h"

namespace ui {

class Application;

// The application's delegate: launch and the moves between active,
// inactive, background and termination. All answers are optional.
class ApplicationDelegate {
  public:
    virtual ~ApplicationDelegate() = default;
    virtual bool didFinishLaunching(Application&, const foundation::Value::Dictionary& options) {
        (void)options;
        return true;
    }
    // A URL the application is asked to open while it runs (a link, a
    // deferred deep link). Nothing: the delegate does not take URLs.
    virtual std::optional<bool> openURL(Application&, const std::string& url,
                                        const foundation::Value::Dictionary& options) {
        (void)url;
        (void)options;
        return std::nullopt;
    }
    virtual void applicationDidBecomeActive(Application&) {}
    virtual void applicationWillResignActive(Application&) {}
    virtual void applicationDidEnterBackground(Application&) {}
    virtual void applicationWillEnterForeground(Application&) {}
    virtual void applicationWillTerminate(Application&) {}
};

class Scene {
  public:
    // Posted (with the scene as object) when a scene connects to the
    // application, before the application becomes active.
    static constexpr const char* willConnectNotification = "UISceneWillConnectNotification";

    enum class ActivationState { unattached, foregroundActive, foregroundInactive, background };
    virtual ~Scene() = default;
    ActivationState activationState() const { return state_; }

  private:
    friend class Application;
    ActivationState state_ = ActivationState::foregroundInactive;
};

// A scene that holds windows, in the order they were attached.
class WindowScene : public Scene {
  public:
    const std::vector<std::shared_ptr<Window>>& windows() const { return windows_; }
    void attach(std::shared_ptr<Window> window);
    void detach(Window* window);

  private:
    std::vector<std::shared_ptr<Window>> windows_;
};

// The application: its scenes and windows, its delegate, the life-cycle
// notifications (posted through foundation::NotificationCenter::defaultCenter()
// with the application as object) and the URLs it was asked to open.
class Application {
  public:
    static constexpr const char* didFinishLaunchingNotification =
        "UIApplicationDidFinishLaunchingNotification";
    static constexpr const char* didBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
    static constexpr const char* willResignActiveNotification = "UIApplicationWillResignActiveNotification";
    static constexpr const char* didEnterBackgroundNotification =
        "UIApplicationDidEnterBackgroundNotification";
    static constexpr const char* willEnterForegroundNotification =
        "UIApplicationWillEnterForegroundNotification";
    static constexpr const char* willTerminateNotification = "UIApplicationWillTerminateNotification";

    static Application& shared();
    // Drops scenes, windows, delegate and opened URLs and puts the traits
    // back to a light phone (between tests).
    static void reset();

    enum class State { inactive, active, background };
    State applicationState() const { return state_; }

    const std::shared_ptr<ApplicationDelegate>& delegate() const { return delegate_; }
    // Launch: keeps the delegate, asks it to finish launching, then becomes
    // active. An application that declares scenes connects its main scene
    // first and becomes active after it, both later on the main queue, once
    // the launch's work on the other queues has run (afterQueuesSettle).
    // The application holds the delegate for its life. The launch options (a
    // launch URL under "UIApplicationLaunchOptionsURLKey") travel with the
    // did-finish-launching notification as its user info.
    bool launch(std::shared_ptr<ApplicationDelegate> delegate,
                const foundation::Value::Dictionary& options = {});
    // Whether the application declares scenes (its Info.plist has a
    // "UIApplicationSceneManifest"); set before the launch.
    void setDeclaresScenes(bool declares) { declaresScenes_ = declares; }
    bool declaresScenes() const { return declaresScenes_; }
    void becomeActive();
    void resignActive();
    void enterBackground();
    void enterForeground();
    void terminate();
    // Whether terminate() was called (until reset()). Set before the
    // will-terminate notification goes out, so that what starts observing
    // it too late can still tell. Safe from any thread.
    bool isTerminating() const { return terminating_.load(); }

    // Connected scenes in the order they connected.
    const std::vector<std::shared_ptr<Scene>>& connectedScenes() const { return scenes_; }
    // The first window scene, made when there is none.
    WindowScene& mainScene();
    // The key window (the last one made key), or null.
    Window* keyWindow() const;
    std::vector<std::shared_ptr<Window>> windows() const;

    // URLs: https and the schemes registered here (installed applications)
    // open; every opened URL is kept in order.
    bool canOpenURL(const std::string& url) const;
    void registerURLScheme(const std::string& scheme);
    bool open(const std::string& url, std::function<void(bool)> completion = {});
    const std::vector<std::string>& openedURLs() const { return opened_; }

    // Background tasks: work the application asks to finish after it has
    // left the foreground. The process ends only when every task has ended
    // or its time ran out. Safe from any thread.
    static constexpr uint64_t invalidBackgroundTask = 0;
    uint64_t beginBackgroundTask(const std::string& name, std::function<void()> expirationHandler = {});
    // Ending an unknown or already ended task does nothing.
    void endBackgroundTask(uint64_t task);
    size_t runningBackgroundTaskCount() const;
    // Waits until every task has ended, running meanwhile what is queued on
    // every queue (the main queue's blocks on this thread). Tasks still
    // running after `timeoutSeconds` expire: their handlers run on this
    // thread and the tasks end. Answers whether all ended on their own.
    bool waitForBackgroundTasks(double timeoutSeconds);

  private:
    struct BackgroundTask {
        std::string name;
        std::function<void()> expirationHandler;
    };
    friend class Window;
    void post(const char* name);
    void afterQueuesSettle(uint64_t launch, double deadline, unsigned long long traffic, std::function<void()> then);
    // One step of the life cycle: the application's and its scenes' states,
    // then the delegate, then the notification.
    void moveTo(State state, void (ApplicationDelegate::*tell)(Application&), const char* notification);
    State state_ = State::inactive;
    std::atomic<bool> terminating_{false};
    bool declaresScenes_ = false;
    static constexpr double kSceneSettleLook = 0.005;     // seconds between two looks at the queues
    static constexpr double kSceneConnectionLimit = 10.0;  // seconds, at most, from launch to connection and on to activity
    uint64_t launches_ = 0;  // a scene connection of an earlier launch is dropped
    std::shared_ptr<ApplicationDelegate> delegate_;
    std::vector<std::shared_ptr<Scene>> scenes_;
    std::weak_ptr<Window> keyWindow_;
    std::vector<std::string> schemes_;
    std::vector<std::string> opened_;

    mutable std::mutex tasksMutex_;
    std::map<uint64_t, BackgroundTask> tasks_;
    uint64_t nextTask_ = invalidBackgroundTask + 1;
};

}  // namespace ui
