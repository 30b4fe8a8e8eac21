#pragma once

#include "platform/ui/ViewController.h"

// The drawer menu. For now an empty panel under the menu toolbar.
class LeftViewController : public ui::ViewController {
public:
    LeftViewController() = default;
};
