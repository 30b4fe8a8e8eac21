#include "platform/ui/AppearanceHooks.h"

#include <map>
#include <mutex>

namespace ui {
namespace {
struct Registry {
    std::mutex mutex;
    std::map<int, AppearanceHooks::Observer> observers;
    int next = 1;
};
Registry& registry() {
    static Registry r;
    return r;
}
}  // namespace

int AppearanceHooks::add(Observer observer) {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    int key = r.next++;
    r.observers[key] = std::move(observer);
    return key;
}

void AppearanceHooks::remove(int key) {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.observers.erase(key);
}

void AppearanceHooks::notify(ViewController& controller, Event event) {
    std::map<int, Observer> copy;
    {
        auto& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        copy = r.observers;
    }
    for (auto& [key, observer] : copy)
        if (observer) observer(controller, event);
}

void AppearanceHooks::reset() {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.observers.clear();
}

}  // namespace ui
