#include "Calvaro/screens/CalculateViewController.h"

#include "Calvaro/screens/ScreenUtilities.h"
#include "platform/foundation/Bundle.h"
#include "platform/kit/ToolbarController.h"

CalculateViewController::CalculateViewController() {
    prepareTabItem(*this, foundation::localizedString("Input"), true);
}

void CalculateViewController::viewWillAppear(bool) {
    if (kit::ToolbarController* toolbar = kit::toolbarController(*this))
        toolbar->toolbar().setTitle(foundation::localizedString("Calculate Title"));
}
