#pragma once

#include "platform/kit/ToolbarController.h"

// The toolbar look shared by the screens' toolbar controllers.
class BasicToolbarController : public kit::ToolbarController {
public:
    using kit::ToolbarController::ToolbarController;

    void prepare() override;
    static void styleToolbar(kit::Toolbar& toolbar);
};
