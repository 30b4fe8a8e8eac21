#pragma once

#include "platform/ui/ViewController.h"

// True while a calculation runs on the stack; the keypad and the toolbar's
// menu button do nothing meanwhile. Main thread only.
inline bool isCalculating = false;

// The Calculate screen (page 0 of the tabs). For now it shows its tab and
// toolbar title only.
class CalculateViewController : public ui::ViewController {
public:
    CalculateViewController();
    void viewWillAppear(bool animated) override;
};
