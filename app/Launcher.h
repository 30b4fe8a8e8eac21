#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/Application.h"

namespace app {

struct LaunchOptions {
    std::filesystem::path home;                   // --home DIR (default $XDG_DATA_HOME/calvaro,
                                                  // else ~/.local/share/calvaro)
    std::optional<std::filesystem::path> script;  // --script FILE
    // --pages DIR: each snapshot also written as DIR/NAME.txt and NAME.html;
    // --pictures: and as NAME.png (device size, scale 2) through Chromium.
    std::optional<std::filesystem::path> pages;
    bool pictures = false;
    // `calvaro serve [--port N]`: the application live on 127.0.0.1.
    bool serve = false;
    int port = 8080;
    bool help = false;                            // --help
    bool version = false;                         // --version
    // --open URL: the application is launched with this link (a campaign
    // link tapped on the phone).
    std::optional<std::string> openURL;
};

// Parses the command line. False with a message on an unknown option, a
// missing value or no home (neither --home, $XDG_DATA_HOME nor $HOME).
bool parseArguments(int argc, char** argv, LaunchOptions& options, std::string& error);

struct LaunchHooks {
    std::function<std::shared_ptr<ui::ApplicationDelegate>()> makeDelegate;
    std::function<std::string()> demoScript;
    // The signal that asked the process to end, 0 while none did.
    std::function<int()> stopSignal;
};

// The whole launcher: arguments, script (read and checked before anything
// else), data root, launch, play, termination, and the wait for the work
// begun in the background. Snapshots go to `out`, messages to `err`. Returns
// the exit status: 0, 1 for a failed script or launch, 2 for bad arguments,
// 128 + the signal for a play stopped by one. The caller then ends the
// queues (dispatch::endQueues) before static objects go.
// `interceptOpenURL` sees a link the running application is opened with
// before its delegate does (the analytics engine's interceptor), as the
// phone's application-delegate interception would; may be empty.
int runCalvaro(int argc, char** argv, const LaunchHooks& hooks, std::ostream& out, std::ostream& err,
               const std::function<void(const std::string& url)>& interceptOpenURL = {});

}  // namespace app
