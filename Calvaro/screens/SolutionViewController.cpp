#include "Calvaro/screens/SolutionViewController.h"

#include "Calvaro/screens/ScreenUtilities.h"
#include "platform/foundation/Bundle.h"

SolutionViewController::SolutionViewController() {
    prepareTabItem(*this, foundation::localizedString("Result"), false);
}
