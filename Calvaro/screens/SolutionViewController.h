#pragma once

#include "platform/ui/ViewController.h"

// The Solution screen (page 1 of the tabs). For now it shows its tab only,
// disabled while there is no solution.
class SolutionViewController : public ui::ViewController {
public:
    SolutionViewController();
};
