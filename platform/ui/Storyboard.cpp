#include "platform/ui/Storyboard.h"

#include <map>
#include <mutex>

#include "platform/ui/Log.h"
#include "platform/ui/TableView.h"

namespace ui {
namespace {
struct Builders {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, Storyboard::Builder> controllers;
    std::map<std::string, Nib::ViewBuilder> nibViews;
    std::map<std::string, Nib::ControllerBuilder> nibControllers;
};
Builders& builders() {
    static Builders b;
    return b;
}

// The builder registered for a nib, copied out under the lock; a missing one
// is a programming error.
template <typename Builder>
Builder nibBuilder(std::map<std::string, Builder> Builders::*table, const std::string& nibName) {
    Builder builder;
    {
        auto& b = builders();
        std::lock_guard<std::mutex> lock(b.mutex);
        auto it = (b.*table).find(nibName);
        if (it != (b.*table).end()) builder = it->second;
    }
    if (!builder) fatalError("Could not load NIB in bundle with name '" + nibName + "'");
    return builder;
}
}  // namespace

std::shared_ptr<ViewController> Storyboard::instantiateViewController(const std::string& identifier) const {
    Builder builder;
    {
        auto& b = builders();
        std::lock_guard<std::mutex> lock(b.mutex);
        auto it = b.controllers.find({name_, identifier});
        if (it != b.controllers.end()) builder = it->second;
    }
    if (!builder)
        fatalError("Storyboard (" + name_ + ") doesn't contain a view controller with identifier '" +
                   identifier + "'");
    auto controller = builder();
    if (!controller) fatalError("the builder of " + identifier + " in storyboard " + name_ + " made nothing");
    return controller;
}

void Storyboard::wrongClass(const std::string& identifier) const {
    fatalError("the controller " + identifier + " of storyboard " + name_ + " is not of the expected class");
}

void Storyboard::registerBuilder(const std::string& storyboard, const std::string& identifier,
                                 Builder builder) {
    auto& b = builders();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.controllers[{storyboard, identifier}] = std::move(builder);
}

bool Storyboard::isRegistered(const std::string& storyboard, const std::string& identifier) {
    auto& b = builders();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.controllers.count({storyboard, identifier}) > 0;
}

void Nib::registerView(const std::string& nibName, ViewBuilder builder) {
    auto& b = builders();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.nibViews[nibName] = std::move(builder);
}

void Nib::registerController(const std::string& nibName, ControllerBuilder builder) {
    auto& b = builders();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.nibControllers[nibName] = std::move(builder);
}

bool Nib::isRegistered(const std::string& nibName) {
    auto& b = builders();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.nibViews.count(nibName) > 0 || b.nibControllers.count(nibName) > 0;
}

std::shared_ptr<View> Nib::loadView(const std::string& nibName) {
    auto view = nibBuilder(&Builders::nibViews, nibName)();
    if (!view) fatalError("the nib " + nibName + " made no view");
    if (auto cell = std::dynamic_pointer_cast<TableViewCell>(view)) cell->awakeFromNib();
    if (auto cell = std::dynamic_pointer_cast<CollectionViewCell>(view)) cell->awakeFromNib();
    return view;
}

std::shared_ptr<ViewController> Nib::loadController(const std::string& nibName) {
    auto controller = nibBuilder(&Builders::nibControllers, nibName)();
    if (!controller) fatalError("the nib " + nibName + " made no controller");
    return controller;
}

void resetBuilders() {
    auto& b = builders();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.controllers.clear();
    b.nibViews.clear();
    b.nibControllers.clear();
}

}  // namespace ui
