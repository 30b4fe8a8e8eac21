#pragma once

#include "platform/kit/TabsController.h"

// The two pages, Calculate and Solution, under a tab bar at the top. It is
// its own tabs delegate with the kit's default answers.
class AppPageTabBarController : public kit::TabsController, public kit::TabsControllerDelegate {
public:
    using kit::TabsController::TabsController;

    void prepare() override;
};
