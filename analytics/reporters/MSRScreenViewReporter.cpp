#include "analytics/reporters/MSRScreenViewReporter.h"

#include <algorithm>
#include <memory>

#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/reporters/MSRAdExposureReporter.h"
#include "analytics/reporters/MSRReporterSupport.h"
#include "analytics/reporters/MSRSessionReporter.h"
#include "analytics/support/MSRNotificationNames.h"
#include "analytics/support/MSRNumericUtil.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/ui/Application.h"
#include "platform/ui/Window.h"

namespace {

using Stack = std::vector<std::weak_ptr<ui::ViewController>>;

constexpr const char* kScreenKey = "msrScreen";
constexpr const char* kStackKey = "msrStack";

foundation::SharedSlot<MSRScreenViewReporter>& reporterSlot() {
    static foundation::SharedSlot<MSRScreenViewReporter> slot;
    return slot;
}

// The associated objects carry no type of their own: what this reporter
// stores under its keys is made with a deleter of its own type, so that
// anything else found there is told apart, reported and dropped.
struct ScreenDeleter {
    void operator()(std::shared_ptr<MSRScreen>* screen) const { delete screen; }
};
struct StackDeleter {
    void operator()(Stack* stack) const { delete stack; }
};

std::shared_ptr<MSRScreen> screenOf(const ui::ViewController& controller) {
    auto& object = const_cast<ui::ViewController&>(controller).associatedObject(kScreenKey);
    if (!object) return nullptr;
    if (!std::get_deleter<ScreenDeleter>(object)) {
        MSRReporterLog(4, 36000, "Found unknown associated object", {std::string("not a screen")});
        object.reset();
        return nullptr;
    }
    return *static_cast<std::shared_ptr<MSRScreen>*>(object.get());
}

void setScreenOf(ui::ViewController& controller, std::shared_ptr<MSRScreen> screen) {
    controller.associatedObject(kScreenKey) =
        std::shared_ptr<void>(new std::shared_ptr<MSRScreen>(std::move(screen)), ScreenDeleter{});
}

bool hasWindow(const ui::ViewController& controller) {
    const auto& view = controller.viewIfLoaded();
    return view && view->window();
}

// The key window's stack, made on first use; null without a key window.
Stack* keyWindowScreenStack() {
    ui::Window* window = ui::Application::shared().keyWindow();
    if (!window) return nullptr;
    auto& object = window->associatedObject(kStackKey);
    if (object && !std::get_deleter<StackDeleter>(object)) {
        MSRReporterLog(4, 38000, "Found unknown associated object", {std::string("not a screen stack")});
        object.reset();
    }
    if (!object) object = std::shared_ptr<void>(new Stack(), StackDeleter{});
    return static_cast<Stack*>(object.get());
}

void compact(Stack& stack) {
    stack.erase(std::remove_if(stack.begin(), stack.end(), [](const auto& entry) { return entry.expired(); }),
                stack.end());
}

Stack::iterator find(Stack& stack, const ui::ViewController& controller) {
    return std::find_if(stack.begin(), stack.end(),
                        [&](const auto& entry) { return entry.lock().get() == &controller; });
}

bool measurementCountsAsEnabled() {
    return MSRMeasurementInterface::hasSharedInstance() && MSRAnalytics::analyticsEnabled();
}

std::optional<std::string> textParameter(const MSRObjectDictionary& parameters, const char* key) {
    auto found = parameters.find(key);
    if (found == parameters.end()) return std::nullopt;
    if (const auto* value = std::get_if<foundation::Value>(&found->second))
        if (const auto* text = value->string()) return *text;
    if (const auto* value = std::get_if<MSRValue>(&found->second))
        if (const auto* text = value->stringValue()) return *text;
    return std::nullopt;
}

bool isValidScreenValue(const std::optional<std::string>& text) {
    int64_t failure = 0;
    return !text || MSRDataTypeValidator::isValidScreenParameterValue(*text, &failure);
}

}  // namespace

// ---- the shared instance ------------------------------------------------------

std::shared_ptr<MSRScreenViewReporter> MSRScreenViewReporter::sharedInstance() {
    return MSRSharedReporter(
        reporterSlot(), [] { return std::shared_ptr<MSRScreenViewReporter>(new MSRScreenViewReporter()); },
        &MSRScreenViewReporter::subscribeToApplicationNotifications);
}

MSRScreenViewReporter::MSRScreenViewReporter()
    : queue_(dispatch::SerialQueue::create(kQueueLabel)),
      currentScreenInstanceID_(MSRNumericUtil::randomInt64()) {}

MSRScreenViewReporter::~MSRScreenViewReporter() = default;

// The one place where the reporter listens to the application; the session and
// ad-exposure reporters hear of activity only through it.
void MSRScreenViewReporter::subscribeToApplicationNotifications() {
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::weak_ptr<void> owner = shared_from_this();
    center.addObserver(owner, MSRWindowDidResignKeyNotificationName(),
                       [this](const foundation::Notification&) { handleWindowDidResign(); });
    center.addObserver(owner, MSRAppDidBecomeActiveNotificationName(),
                       [this](const foundation::Notification&) { handleApplicationDidBecomeActive(); });
    center.addObserver(owner, MSRAppWillResignActiveNotificationName(),
                       [this](const foundation::Notification&) { handleApplicationWillResignActive(); });
    center.addObserver(owner, MSRAppDidEnterBackgroundNotificationName(),
                       [this](const foundation::Notification&) { handleApplicationDidEnterBackground(); });
}

void MSRScreenViewReporter::onQueue(const std::function<void()>& block) {
    queue_->syncOrRunIfCurrent(block);
}

// Runs on the queue only, so no two screens share an id. The seed is random
// and may lie next to the largest value: the count wraps around.
int64_t MSRScreenViewReporter::incrementScreenInstanceID() {
    currentScreenInstanceID_ = static_cast<int64_t>(static_cast<uint64_t>(currentScreenInstanceID_) + 1);
    return currentScreenInstanceID_;
}

// ---- which controller is the screen -------------------------------------------

std::string MSRScreenViewReporter::MSRShortClassName(const ui::ViewController& viewController) {
    std::string name = viewController.className();
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot + 1 < name.size()) name.erase(0, dot + 1);
    return name;
}

bool MSRScreenViewReporter::MSRIsTrackableViewController(const ui::ViewController& viewController) {
    ui::Window* keyWindow = ui::Application::shared().keyWindow();
    const auto& view = viewController.viewIfLoaded();
    return keyWindow && view && view->isDescendant(keyWindow);
}

// From the top of the stack down:
// 1. a controller named by the application (setScreenName) that is on screen;
// 2. else the first controller on screen that already has a screen; or, when
//    its parent shows only some of its several children, that parent when it
//    has a screen; or what the controller (or that parent) shows: a
//    navigation stack's visible controller, the selected tab, the page on
//    show, looked through while these are containers again, or for another
//    controller what it presents, or itself while it is presented;
// 3. else the bottom entry.
ui::ViewController* MSRScreenViewReporter::MSRTopViewController(const Stack& stack) {
    std::vector<std::shared_ptr<ui::ViewController>> entries;
    for (const auto& entry : stack)
        if (auto controller = entry.lock()) entries.push_back(std::move(controller));

    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        auto screen = screenOf(**it);
        if (screen && screen->isManuallySet && hasWindow(**it)) return it->get();
    }

    auto shown = [](ui::ViewController* controller) -> ui::ViewController* {
        if (auto* container = dynamic_cast<ui::ContentContainer*>(controller))
            return container->shownViewController();
        if (const auto& presented = controller->presentedViewController()) return presented.get();
        return controller->isBeingPresented() ? controller : nullptr;
    };
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        ui::ViewController* entry = it->get();
        if (!hasWindow(*entry)) continue;
        if (screenOf(*entry)) return entry;
        ui::ViewController* candidate = entry;
        if (ui::ViewController* parent = entry->parent(); parent && parent->children().size() > 1) {
            const auto& siblings = parent->children();
            const bool partlyShown = std::any_of(siblings.begin(), siblings.end(), [&](const auto& child) {
                return child.get() != entry && !hasWindow(*child);
            });
            if (partlyShown) {
                if (screenOf(*parent)) return parent;
                candidate = parent;
            }
        }
        ui::ViewController* result = shown(candidate);
        // Containers inside containers, to a depth no real screen reaches.
        for (int depth = 0; result && depth < 64 && dynamic_cast<ui::ContentContainer*>(result); ++depth)
            result = shown(result);
        if (result && hasWindow(*result)) return result;
    }

    if (stack.empty()) {
        MSRReporterLog(5, 31011, "Root view controller not found");
        return nullptr;
    }
    return stack.front().lock().get();
}

void MSRScreenViewReporter::selectTopOfStack(Stack& stack) {
    compact(stack);
    ui::ViewController* top = MSRTopViewController(stack);
    if (top && MSRIsTrackableViewController(*top)) setCurrentViewController(top);
}

void MSRScreenViewReporter::viewControllerDidAppear(ui::ViewController& viewController) {
    Stack* stack = keyWindowScreenStack();
    if (!stack) return;
    ui::Window* window = ui::Application::shared().keyWindow();
    // A new root controller starts the window's stack afresh.
    if (window->rootViewController().get() == &viewController && !stack->empty() &&
        stack->front().lock().get() != &viewController) {
        stack->clear();
    }
    if (auto found = find(*stack, viewController); found != stack->end()) stack->erase(found);
    const bool tracked = MSRIsTrackableViewController(viewController);
    if (tracked) stack->push_back(viewController.weak_from_this());
    selectTopOfStack(*stack);
    if (auto delegate = vuzedezoPerfDelegate()) delegate->viewControllerDidAppear(viewController, tracked);
}

void MSRScreenViewReporter::viewControllerDidDisappear(ui::ViewController& viewController) {
    Stack* stack = keyWindowScreenStack();
    if (!stack) return;
    // The bottom entry stays: it is the screen of last resort.
    if (auto found = find(*stack, viewController); found != stack->end() && found != stack->begin())
        stack->erase(found);
    selectTopOfStack(*stack);
    if (auto delegate = vuzedezoPerfDelegate()) delegate->viewControllerDidDisappear(viewController);
}

void MSRScreenViewReporter::handleWindowDidResign() {
    Stack* stack = keyWindowScreenStack();
    if (!stack) return;
    compact(*stack);
    if (stack->empty()) return;
    selectTopOfStack(*stack);
}

void MSRScreenViewReporter::setVuzedezoPerfDelegate(const std::shared_ptr<MSRScreenViewReporterDelegate>& delegate) {
    std::lock_guard lock(delegateMutex_);
    if (!delegate) {
        delegate_.reset();
        return;
    }
    if (!delegate->viewControllerDidAppear || !delegate->viewControllerDidDisappear) {
        MSRReporterLog(0, 31019,
                       "Incompatible versions of Zevure Analytics for Vuzedezo and Vuzedezo Performance detected. "
                       "Automatic screen traces will not be captured.");
        return;
    }
    if (!delegate_.expired()) {
        MSRReporterLog(3, 31016, "Tried to override screen reporter delegate");
        return;
    }
    delegate_ = delegate;
}

std::shared_ptr<MSRScreenViewReporterDelegate> MSRScreenViewReporter::vuzedezoPerfDelegate() {
    std::lock_guard lock(delegateMutex_);
    return delegate_.lock();
}

// ---- changing the current screen ----------------------------------------------

void MSRScreenViewReporter::setCurrentViewController(ui::ViewController* viewController) {
    if (!viewController) {
        MSRReporterLog(3, 31005, "Received nil view controller");
        return;
    }
    std::optional<ScreenChange> change;
    onQueue([&] {
        const bool enabled = measurementCountsAsEnabled();
        std::string className = MSRShortClassName(*viewController);
        if (enabled && currentViewController_.lock().get() == viewController) {
            auto screen = screenOf(*viewController);
            MSRReporterLog(7, 31006, "View controller already tracked. Class, ID",
                           {className, screen ? screen->instanceID : int64_t{0}});
            return;
        }
        const auto limit =
            static_cast<size_t>(MSRMeasurement::remoteConfigShared()->maxPublicEventParameterValueLength());
        if (className.size() > limit) {
            const std::string original = className;
            className.resize(limit);
            MSRReporterLog(
                7, 31007, "Trimmed name of default screen class. Original screen class, trimmed screen class",
                {original, className});
        }
        int64_t failure = 0;
        if (!MSRDataTypeValidator::isValidScreenParameterValue(className, &failure)) {
            MSRReporterLog(3, 31008, "Received invalid default screen class");
            return;
        }
        auto screen = screenOf(*viewController);
        if (!screen) {
            screen = std::make_shared<MSRScreen>();
            screen->className = className;
            screen->instanceID = incrementScreenInstanceID();
            setScreenOf(*viewController, screen);
        }
        currentViewController_ = viewController->weak_from_this();
        if (screen == currentScreen_) return;
        if (enabled)
            MSRReporterLog(7, 31010, "Tracking view controller. Class, ID", {className, screen->instanceID});
        change = ScreenChange{currentScreen_ ? currentScreen_->copy() : nullptr, screen};
        currentScreen_ = screen;
    });
    if (change) screenDidChange(*change, {});
}

void MSRScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
    if (!MSRIsScreenReportingEnabled()) {
        MSRReporterLog(3, 31000,
                       "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
        return;
    }
    if (!isValidScreenValue(screenName)) {
        MSRReporterLog(3, 31001, "Received invalid screen name", {*screenName});
        return;
    }
    if (!isValidScreenValue(screenClass)) {
        MSRReporterLog(3, 31002, "Received invalid screen class");
        return;
    }
    Stack* stack = keyWindowScreenStack();
    std::shared_ptr<ui::ViewController> target;
    if (stack) compact(*stack);
    if (stack && !stack->empty()) target = stack->back().lock();
    std::optional<ScreenChange> change;
    onQueue([&] {
        if (!target) {
            MSRReporterLog(3, 31003,
                           "setScreenName:screenClass: must be called after a view controller has appeared");
            return;
        }
        const std::optional<std::string> className = screenClass ? screenClass : MSRShortClassName(*target);
        if (currentScreen_ && currentScreen_->name == screenName && currentScreen_->className == className) {
            MSRReporterLog(7, 31004, "Ignoring duplicate screen name and screen class");
            return;
        }
        auto screen = std::make_shared<MSRScreen>();
        screen->name = screenName;
        screen->className = className;
        screen->instanceID = incrementScreenInstanceID();
        screen->isManuallySet = true;
        setScreenOf(*target, screen);
        currentViewController_ = target;
        MSRReporterLog(7, 31009, "Set screen name and screen class");
        change = ScreenChange{currentScreen_ ? currentScreen_->copy() : nullptr, screen};
        currentScreen_ = screen;
    });
    if (change) screenDidChange(*change, {});
}

void MSRScreenViewReporter::trackScreenWithParameters(const MSRObjectDictionary& parameters,
                                                      double timestamp) {
    if (!isAppActive_ && appHasBeenInitialized_) {
        MSRReporterLog(3, 31026, "Cannot log screen view event when the app is not active");
        return;
    }
    const std::optional<std::string> name = textParameter(parameters, "screen_name");
    std::optional<std::string> className = textParameter(parameters, "screen_class");
    if (!isValidScreenValue(name)) {
        MSRReporterLog(3, 31027, "Received invalid name for screen");
        return;
    }
    if (!isValidScreenValue(className)) {
        MSRReporterLog(3, 31028, "Received invalid class for screen");
        return;
    }
    if (!className && dispatch::isMainThread()) {
        for (const auto& window : ui::Application::shared().windows()) {
            if (!window->isKeyWindow()) continue;
            if (const auto& root = window->rootViewController()) className = MSRShortClassName(*root);
            break;
        }
    }
    const bool classFromCurrentScreen =
        !className && !dispatch::isMainThread() && MSRIsScreenReportingEnabled();
    ScreenChange change;
    onQueue([&] {
        auto screen = std::make_shared<MSRScreen>();
        screen->name = name;
        screen->className = className;
        if (classFromCurrentScreen && currentScreen_) screen->className = currentScreen_->className;
        screen->instanceID = incrementScreenInstanceID();
        screen->isManuallyTracked = true;
        screen->eventTimestamp = timestamp;
        change = ScreenChange{currentScreen_, screen};
        currentScreen_ = screen;
    });
    MSRReporterLog(7, 31029, "Logging screen view with screen name and screen class",
                   {name.value_or(""), change.screen->className.value_or("")});
    MSRParameters extra =
        MSRCleanEventParameters(parameters, "screen_view", true, false).value_or(MSRParameters{});
    extra.erase("screen_name");
    extra.erase("screen_class");
    screenDidChange(change, extra);
}

void MSRScreenViewReporter::screenDidChange(const ScreenChange& change,
                                            const MSRParameters& extraParameters) {
    postScreenDidChangeNotificationWithPreviousScreen(change.previous.get(), change.screen.get());
    if (MSRIsScreenReportingEnabled() || change.screen->isManuallyTracked)
        logViewScreenEventWithPreviousScreen(change.previous, change.screen, extraParameters);
}

void MSRScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(const MSRScreen* previous,
                                                                              const MSRScreen* screen) {
    if (!isAppActive_) return;
    if (auto sessions = MSRSessionReporter::current(); sessions && previous)
        sessions->handleScreenDidChangeFromScreen(previous, screen);
    MSRAdExposureReporter::sharedInstance()->handleScreenDidChangeFromScreen(previous, screen);
}

void MSRScreenViewReporter::logViewScreenEventWithPreviousScreen(const std::shared_ptr<MSRScreen>& previous,
                                                                 const std::shared_ptr<MSRScreen>& screen,
                                                                 const MSRParameters& extraParameters) {
    if (!screen) return;
    if (!isAppActive_ && appHasBeenInitialized_) {
        MSRReporterLog(7, 31013, "Screen view event not logged. App is not active.");
        return;
    }
    MSRParameters parameters = extraParameters;
    for (auto& [key, value] : MSRScreenEventParameters(*screen)) parameters.insert_or_assign(key, value);
    if (previous) {
        for (auto& [key, value] : MSRPreviousScreenEventParameters(*previous))
            parameters.insert_or_assign(key, value);
        if (MSRMeasurement::remoteConfigShared()->efficientEngagementReportingEnabled())
            if (auto sessions = MSRSessionReporter::current())
                if (const int64_t ms = sessions->cutFreerideEngagementTimeMillis(); ms >= 1)
                    parameters.insert_or_assign("_et", MSRValue(ms));
    }
    if (!MSRIsScreenReportingEnabled()) parameters.insert_or_assign("_mst", MSRValue(int64_t{1}));
    if (!MSRHasScreenParameters(parameters)) {
        MSRReporterLog(1, 31012, "Screen view event not logged. Screen parameters were empty");
        return;
    }
    onQueue([&] { previousScreen_ = screen; });
    const std::string origin = screen->isManuallyTracked ? "app" : "auto";
    const MSRObjectDictionary objects = MSRObjectsFromParameters(parameters);
    if (screen->isManuallyTracked) {
        MSRAnalytics::logInternalEventWithOrigin(origin, "_vs", screen->eventTimestamp, objects);
    } else {
        MSRAnalytics::logInternalEventWithOrigin(origin, "_vs", objects);
    }
}

// ---- reading the current screen -----------------------------------------------

std::optional<MSRParameters> MSRScreenViewReporter::screenParameters() {
    MSRParameters parameters;
    onQueue([&] {
        if (!currentScreen_ || (!isAppActive_ && appHasBeenInitialized_)) return;
        parameters.emplace("_si", MSRValue(currentScreen_->instanceID));
        if (currentScreen_->className && !currentScreen_->className->empty())
            parameters.emplace("_sc", MSRValue(*currentScreen_->className));
        if (currentScreen_->name && !currentScreen_->name->empty())
            parameters.emplace("_sn", MSRValue(*currentScreen_->name));
    });
    return parameters;
}

void MSRScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) {
    onQueue([&] {
        if (screenName) *screenName = currentScreen_ ? currentScreen_->name : std::nullopt;
        if (screenClass) *screenClass = currentScreen_ ? currentScreen_->className : std::nullopt;
    });
}

// ---- the application's activity -----------------------------------------------

void MSRScreenViewReporter::handleApplicationDidBecomeActive() {
    isAppActive_ = true;
    appHasBeenInitialized_ = true;
    MSRSessionReporter::currentOrMake()->handleAppDidBecomeActive();
    MSRAdExposureReporter::sharedInstance()->handleAppDidBecomeActive();
    // A screen that changed while the application was inactive is reported now.
    std::shared_ptr<MSRScreen> previous, current;
    onQueue([&] {
        previous = previousScreen_;
        current = currentScreen_;
    });
    if (previous != current && MSRIsScreenReportingEnabled())
        logViewScreenEventWithPreviousScreen(previous, current, {});
}

void MSRScreenViewReporter::handleApplicationWillResignActive() {
    std::shared_ptr<MSRScreen> screen;
    if (MSRIsScreenReportingEnabled() && isAppActive_) onQueue([&] { screen = currentScreen_; });
    if (auto sessions = MSRSessionReporter::current())
        sessions->handleAppWillResignActiveWithScreen(screen.get());
    MSRAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreen(screen.get());
}

void MSRScreenViewReporter::handleApplicationDidEnterBackground() {
    isAppActive_ = false;
}
