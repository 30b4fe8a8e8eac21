#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/ViewController.h"

namespace ui {

// C++ builders in place of the bundle's storyboards and nibs. The
// application registers, once at start, a builder per controller identifier
// (the class name) under a storyboard name ("Main"), and a builder per nib
// name. Asking for something never registered is a programming error
// (fatalError), as a missing storyboard identifier is on the platform.
class Storyboard {
  public:
    using Builder = std::function<std::shared_ptr<ViewController>()>;

    explicit Storyboard(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }
    std::shared_ptr<ViewController> instantiateViewController(const std::string& identifier) const;
    // The controller as class T; another class is a programming error.
    template <class T>
    std::shared_ptr<T> instantiate(const std::string& identifier) const {
        auto controller = std::dynamic_pointer_cast<T>(instantiateViewController(identifier));
        if (!controller) wrongClass(identifier);
        return controller;
    }

    static void registerBuilder(const std::string& storyboard, const std::string& identifier,
                                Builder builder);
    static bool isRegistered(const std::string& storyboard, const std::string& identifier);

  private:
    [[noreturn]] void wrongClass(const std::string& identifier) const;
    std::string name_;
};

// Views (cells, panels) and controllers loaded by nib name.
class Nib {
  public:
    using ViewBuilder = std::function<std::shared_ptr<View>()>;
    using ControllerBuilder = std::function<std::shared_ptr<ViewController>()>;

    static void registerView(const std::string& nibName, ViewBuilder builder);
    static void registerController(const std::string& nibName, ControllerBuilder builder);
    static bool isRegistered(const std::string& nibName);
    // A new view of the nib (awakeFromNib of cells has run).
    static std::shared_ptr<View> loadView(const std::string& nibName);
    static std::shared_ptr<ViewController> loadController(const std::string& nibName);
};

// Forgets every storyboard and nib builder (between tests).
void resetBuilders();

}  // namespace ui
