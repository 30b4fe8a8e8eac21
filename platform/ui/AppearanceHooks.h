#pragma once

#include <functional>
#include <memory>

namespace ui {

class ViewController;

// Observers of every controller's appearance (screen tracking): called right
// after a controller's viewDidAppear and viewDidDisappear hooks.
class AppearanceHooks {
  public:
    enum class Event { didAppear, didDisappear };
    using Observer = std::function<void(ViewController&, Event)>;

    // Returns a key for removal.
    static int add(Observer observer);
    static void remove(int key);
    static void notify(ViewController& controller, Event event);
    static void reset();
};

}  // namespace ui
