#pragma once

#include "Calvaro/screens/BasicToolbarController.h"

// The toolbar above the drawer menu: the application's title on a taller,
// darker bar.
class MenuToolbarController : public BasicToolbarController {
public:
    static constexpr double toolbarHeight = 90;

    using BasicToolbarController::BasicToolbarController;

    void prepare() override;

private:
    void styleMenuToolbar();
};
