#include <iostream>

#include "app/CalvaroMain.h"
#include "app/Launcher.h"

int main(int argc, char** argv) {
    return app::runCalvaro(argc, argv, {makeCalvaroAppDelegate, calvaroDemoScript}, std::cout, std::cerr);
}
