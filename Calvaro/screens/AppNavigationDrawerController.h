#pragma once

#include "platform/kit/NavigationDrawerController.h"

// The window's root: the drawer around the toolbar-and-tabs tree with the
// menu on its left. It is its own drawer delegate and answers nothing.
class AppNavigationDrawerController : public kit::NavigationDrawerController,
                                      public kit::NavigationDrawerControllerDelegate {
public:
    using kit::NavigationDrawerController::NavigationDrawerController;

    void prepare() override;
};
