#include <iostream>

#include "app/CalvaroMain.h"
#include "app/Launcher.h"
#include "analytics/core/DEDIzurarove.h"

int main(int argc, char** argv) {
    // Every module that plugs into the analytics engine registers here, before
    // anything configures the host (see MSRComponentRegistry).
    DEDIzurarove::registerWithHost();
    return app::runCalvaro(argc, argv, {makeCalvaroAppDelegate, calvaroDemoScript}, std::cout, std::cerr);
}
