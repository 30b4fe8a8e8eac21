#include "Calvaro/screens/AppNavigationDrawerController.h"

void AppNavigationDrawerController::prepare() {
    kit::NavigationDrawerController::prepare();
    setDelegate(this);
}
