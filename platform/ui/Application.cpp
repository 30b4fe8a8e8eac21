#include "platform/ui/Application.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/dispatch/WorkerPool.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Traits.h"

namespace ui {

void WindowScene::attach(std::shared_ptr<Window> window) {
    if (!window || window->scene_ == this) return;
    if (window->scene_) window->scene_->detach(window.get());
    window->scene_ = this;
    windows_.push_back(std::move(window));
}

void WindowScene::detach(Window* window) {
    auto it =
        std::find_if(windows_.begin(), windows_.end(), [window](const auto& w) { return w.get() == window; });
    if (it == windows_.end()) return;
    (*it)->scene_ = nullptr;
    windows_.erase(it);
}

Application& Application::shared() {
    static Application app;
    return app;
}

void Application::reset() {
    auto& app = shared();
    app.keyWindow_.reset();
    auto scenes = std::move(app.scenes_);
    app.scenes_.clear();
    for (auto& scene : scenes)
        if (auto* ws = dynamic_cast<WindowScene*>(scene.get()))
            while (!ws->windows().empty()) ws->detach(ws->windows().front().get());
    scenes.clear();
    app.delegate_.reset();
    app.state_ = State::inactive;
    app.terminating_ = false;
    app.declaresScenes_ = false;
    ++app.launches_;
    app.schemes_.clear();
    app.opened_.clear();
    {
        std::lock_guard lock(app.tasksMutex_);
        app.tasks_.clear();
    }
    TraitCollection::reset();
}

void Application::post(const char* name) {
    foundation::NotificationCenter::defaultCenter().post(name, this);
}

bool Application::launch(std::shared_ptr<ApplicationDelegate> delegate,
                         const foundation::Value::Dictionary& options) {
    delegate_ = std::move(delegate);
    bool ok = delegate_ ? delegate_->didFinishLaunching(*this, options) : true;
    if (options.empty()) {
        post(didFinishLaunchingNotification);
    } else {
        foundation::NotificationCenter::defaultCenter().post(didFinishLaunchingNotification, this, options);
    }
    if (!declaresScenes_) {
        becomeActive();
        return ok;
    }
    // As on the phone, the main scene connects after the launch, and the
    // application becomes active after that: what the scene's connection
    // set going runs first.
    const uint64_t launch = ++launches_;
    const double deadline = dispatch::Clock::uptimeNow() + kSceneConnectionLimit;
    afterQueuesSettle(launch, deadline, 0, [this, launch, deadline] {
        foundation::NotificationCenter::defaultCenter().post(Scene::willConnectNotification, &mainScene());
        afterQueuesSettle(launch, deadline + kSceneConnectionLimit, 0, [this] { becomeActive(); });
    });
    return ok;
}

// Runs `then` on the main queue once what is under way on the other queues
// has run (the engine's start on its worker among it), so that an observer
// that work adds hears of what `then` posts. Settled means two looks a
// moment apart find every queue idle and nothing moved between them; work
// that never settles lets `then` run at `deadline` all the same. A later
// launch (or a reset) drops it.
void Application::afterQueuesSettle(uint64_t launch, double deadline, unsigned long long traffic,
                                    std::function<void()> then) {
    dispatch::MainQueue::shared()->async([this, launch, deadline, traffic, then = std::move(then)]() mutable {
        if (launch != launches_) return;
        const auto census = dispatch::WorkerPool::census();
        // The main queue's own traffic (these looks among it) does not count.
        const bool settled =
            dispatch::ManualExecutor::installed() || (census.idle && census.threadTraffic == traffic);
        if (!settled && dispatch::Clock::uptimeNow() < deadline && !dispatch::queuesHaveEnded()) {
            const unsigned long long seen = census.idle ? census.threadTraffic : 0;
            dispatch::MainQueue::shared()->asyncAfter(
                kSceneSettleLook, [this, launch, deadline, seen, then = std::move(then)]() mutable {
                    afterQueuesSettle(launch, deadline, seen, std::move(then));
                });
            return;
        }
        then();
    });
}

void Application::becomeActive() {
    if (state_ == State::active) return;
    if (state_ == State::background) enterForeground();
    moveTo(State::active, &ApplicationDelegate::applicationDidBecomeActive, didBecomeActiveNotification);
}

void Application::resignActive() {
    if (state_ != State::active) return;
    moveTo(State::inactive, &ApplicationDelegate::applicationWillResignActive, willResignActiveNotification);
    if (auto key = keyWindow_.lock())
        foundation::NotificationCenter::defaultCenter().post(Window::didResignKeyNotification, key.get());
}

void Application::enterBackground() {
    resignActive();
    if (state_ == State::background) return;
    moveTo(State::background, &ApplicationDelegate::applicationDidEnterBackground,
           didEnterBackgroundNotification);
}

void Application::enterForeground() {
    if (state_ != State::background) return;
    moveTo(State::inactive, &ApplicationDelegate::applicationWillEnterForeground,
           willEnterForegroundNotification);
}

void Application::moveTo(State state, void (ApplicationDelegate::*tell)(Application&),
                         const char* notification) {
    // The scenes follow the application: an inactive application's scenes
    // are in the foreground but inactive.
    Scene::ActivationState sceneState = Scene::ActivationState::foregroundInactive;
    if (state == State::active) sceneState = Scene::ActivationState::foregroundActive;
    if (state == State::background) sceneState = Scene::ActivationState::background;
    state_ = state;
    for (auto& scene : scenes_) scene->state_ = sceneState;
    if (delegate_) ((*delegate_).*tell)(*this);
    post(notification);
}

void Application::terminate() {
    terminating_ = true;
    if (state_ == State::active) resignActive();
    if (delegate_) delegate_->applicationWillTerminate(*this);
    post(willTerminateNotification);
}

uint64_t Application::beginBackgroundTask(const std::string& name, std::function<void()> expirationHandler) {
    std::lock_guard lock(tasksMutex_);
    const uint64_t task = nextTask_++;
    tasks_.emplace(task, BackgroundTask{name, std::move(expirationHandler)});
    return task;
}

void Application::endBackgroundTask(uint64_t task) {
    {
        std::lock_guard lock(tasksMutex_);
        if (tasks_.erase(task) == 0) return;
    }
    dispatch::wakeDrain();
}

size_t Application::runningBackgroundTaskCount() const {
    std::lock_guard lock(tasksMutex_);
    return tasks_.size();
}

bool Application::waitForBackgroundTasks(double timeoutSeconds) {
    // The tasks end through queued work (an upload's answer, a commit on the
    // worker), some of it on the main queue: run it all while waiting.
    dispatch::drainQueues(timeoutSeconds, [this] { return runningBackgroundTaskCount() > 0; });
    std::unique_lock lock(tasksMutex_);
    if (tasks_.empty()) return true;
    // Time is up: each handler runs without the lock, since it usually ends
    // its own task; whatever is left afterwards ends here.
    std::map<uint64_t, BackgroundTask> expired = tasks_;
    lock.unlock();
    for (auto& [task, entry] : expired)
        if (entry.expirationHandler) entry.expirationHandler();
    lock.lock();
    for (auto& [task, entry] : expired) tasks_.erase(task);
    return false;
}

WindowScene& Application::mainScene() {
    for (auto& scene : scenes_)
        if (auto* ws = dynamic_cast<WindowScene*>(scene.get())) return *ws;
    auto scene = std::make_shared<WindowScene>();
    scene->state_ = state_ == State::active ? Scene::ActivationState::foregroundActive
                                            : Scene::ActivationState::foregroundInactive;
    scenes_.push_back(scene);
    return *scene;
}

Window* Application::keyWindow() const {
    return keyWindow_.lock().get();
}

std::vector<std::shared_ptr<Window>> Application::windows() const {
    std::vector<std::shared_ptr<Window>> all;
    for (const auto& scene : scenes_)
        if (auto* ws = dynamic_cast<WindowScene*>(scene.get()))
            all.insert(all.end(), ws->windows().begin(), ws->windows().end());
    return all;
}

static std::string schemeOf(const std::string& url) {
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0) return "";
    std::string scheme = url.substr(0, colon);
    for (char c : scheme)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.')) return "";
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return scheme;
}

bool Application::canOpenURL(const std::string& url) const {
    std::string scheme = schemeOf(url);
    if (scheme.empty()) return false;
    // Web pages (store pages included) open over https only; other schemes
    // are those of installed applications.
    return scheme == "https" ||
           std::find(schemes_.begin(), schemes_.end(), scheme) != schemes_.end();
}

void Application::registerURLScheme(const std::string& scheme) {
    std::string lower = scheme;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    schemes_.push_back(lower);
}

bool Application::open(const std::string& url, std::function<void(bool)> completion) {
    bool ok = canOpenURL(url);
    if (ok) opened_.push_back(url);
    if (completion) completion(ok);
    return ok;
}

}  // namespace ui
