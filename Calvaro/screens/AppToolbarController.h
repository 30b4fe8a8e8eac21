#pragma once

#include <memory>

#include "Calvaro/screens/BasicToolbarController.h"
#include "platform/kit/Buttons.h"

// The toolbar above the two-page tabs, with the menu button that opens the drawer.
class AppToolbarController : public BasicToolbarController {
public:
    static constexpr const char* menuButtonIdentifier = "menuButton";

    using BasicToolbarController::BasicToolbarController;

    void prepare() override;

    // Made in `prepare`.
    const std::shared_ptr<kit::IconButton>& menuButton() const { return menuButton_; }

    // The menu button's action.
    void handleMenuButton();

private:
    void prepareMenuButton();

    std::shared_ptr<kit::IconButton> menuButton_;
};
