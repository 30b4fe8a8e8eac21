#include "app/Launcher.h"

#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>

#include "analytics/support/MSRRemoteConfig.h"
#include "app/ScriptPlayer.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/FileSystem.h"
#include "platform/ui/Driver.h"

namespace app {

namespace {

// What the platform grants an application to finish its work in the
// background, in seconds.
constexpr double kBackgroundTimeLimit = 30.0;

const char* usage =
    "usage: calvaro [--home DIR] [--script FILE]\n"
    "  --home DIR     the data root (default $XDG_DATA_HOME/calvaro, else\n"
    "                 ~/.local/share/calvaro)\n"
    "  --script FILE  the touches to play, one action a line; without it a\n"
    "                 demonstration of a start is played\n";

// Reads the whole script, refusing folders and anything larger than a script
// may be before it is in memory (a device such as /dev/zero never ends).
bool readScript(const std::filesystem::path& path, std::string& text, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return error = "is a folder, not a script", false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return error = "cannot be read", false;
    text.clear();
    char buffer[64 * 1024];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxScriptBytes)
            return error = "is larger than " + std::to_string(kMaxScriptBytes) + " bytes", false;
    }
    if (in.bad()) return error = "cannot be read", false;
    return true;
}

}  // namespace

bool parseArguments(int argc, char** argv, LaunchOptions& options, std::string& error) {
    options = LaunchOptions{};
    std::optional<std::filesystem::path> home;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const std::string& name) -> std::optional<std::string> {
            if (auto eq = arg.find('='); eq != std::string::npos && arg.substr(0, eq) == name)
                return arg.substr(eq + 1);
            if (arg != name) return std::nullopt;
            if (i + 1 >= argc) return std::string();
            return std::string(argv[++i]);
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--home" || arg.rfind("--home=", 0) == 0) {
            auto v = value("--home");
            if (!v || v->empty()) return error = "--home needs a folder", false;
            home = *v;
        } else if (arg == "--script" || arg.rfind("--script=", 0) == 0) {
            auto v = value("--script");
            if (!v || v->empty()) return error = "--script needs a file", false;
            options.script = *v;
        } else {
            return error = "unknown argument \"" + arg + "\"", false;
        }
    }
    if (home) {
        options.home = *home;
        return true;
    }
    // Where the user's data goes by the XDG base directories: a relative
    // XDG_DATA_HOME is to be ignored, as if it were not set.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') {
        options.home = std::filesystem::path(data) / "calvaro";
        return true;
    }
    const char* user = std::getenv("HOME");
    if (!user || !*user) return error = "no --home given and neither XDG_DATA_HOME nor HOME is set", false;
    options.home = std::filesystem::path(user) / ".local" / "share" / "calvaro";
    return true;
}

int runCalvaro(int argc, char** argv, const LaunchHooks& hooks, std::ostream& out, std::ostream& err) {
    LaunchOptions options;
    std::string error;
    if (!parseArguments(argc, argv, options, error)) {
        err << "calvaro: " << error << "\n" << usage;
        return 2;
    }
    if (options.help) {
        out << usage;
        return 0;
    }

    // The whole script is read and checked before the data root is touched.
    std::string scriptText;
    std::string scriptName = "demonstration";
    if (options.script) {
        scriptName = printable(options.script->string());
        if (!readScript(*options.script, scriptText, error)) {
            err << "calvaro: the script " << scriptName << " " << error << "\n";
            return 1;
        }
    }
    std::vector<ScriptAction> actions;
    ScriptError scriptError;
    if (options.script && !parseScript(scriptText, actions, &scriptError)) {
        err << "calvaro: " << scriptName << ": " << scriptError.describe() << "\n";
        return 1;
    }

    // The data root is the user's alone (0700), whatever the umask.
    if (!foundation::FileSystem::createDirectories(options.home)) {
        err << "calvaro: cannot use the data root " << options.home.string() << "\n";
        return 1;
    }
    foundation::FileSystem::setHome(options.home);
    dispatch::markMainThread();
    // Measurement data leaves the machine only for an endpoint named here or
    // in the bundle.
    if (const char* url = std::getenv("CALVARO_MEASUREMENT_URL"); url && *url) MSRRemoteConfig::setMeasurementURL(url);

    // The demonstration depends on what the data root has seen already.
    if (!options.script && hooks.demoScript && !parseScript(hooks.demoScript(), actions, &scriptError)) {
        err << "calvaro: " << scriptName << ": " << scriptError.describe() << "\n";
        return 1;
    }

    try {
        auto& application = ui::Application::shared();
        auto delegate = hooks.makeDelegate ? hooks.makeDelegate() : nullptr;
        if (!delegate) {
            err << "calvaro: the application made no delegate\n";
            return 1;
        }
        if (!application.launch(delegate)) {
            err << "calvaro: the application did not finish launching\n";
            return 1;
        }
        ui::Driver driver(application);
        driver.settle();
        ScriptPlayer player(driver, out);
        if (hooks.stopSignal) player.setStopRequest([&] { return hooks.stopSignal() != 0; });
        bool played = player.play(actions, &scriptError);
        // No input is taken from here on. Like the platform, the process
        // lives on until the work begun for the background (the analytics
        // writes and upload) has ended, for a bounded time, and runs what
        // every queue holds meanwhile.
        application.terminate();
        application.waitForBackgroundTasks(kBackgroundTimeLimit);
        if (!played) {
            err << "calvaro: " << scriptName << ": " << scriptError.describe() << "\n";
            const int signal = hooks.stopSignal ? hooks.stopSignal() : 0;
            return signal != 0 ? 128 + signal : 1;
        }
    } catch (const std::exception& e) {
        err << "calvaro: stopped: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace app
