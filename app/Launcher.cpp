#include "app/Launcher.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>

#include "analytics/support/MSRRemoteConfig.h"
#include "app/LiveServer.h"
#include "app/ScriptPlayer.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DataRootLock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Text.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Driver.h"
#include "platform/web/Chromium.h"
#include "platform/web/HtmlPage.h"

namespace app {

namespace {

// How long the end of a run waits for the work begun in the background (the
// last upload). Whatever is still under way then is let go: its bundles stay
// queued for the next start, and a measurement server that fails or does not
// answer never holds the user's exit.
constexpr double kBackgroundTimeLimit = 1.5;
// Longer than the application takes, at most, to connect its scene and become active.
constexpr double kSceneActivityLimit = 30;
// A signal (Ctrl-C on the live application or a script) asks for the exit
// now: the last upload gets a second, so the process is gone within two even
// on a busy machine (beyond that SignalWatcher ends it).
constexpr double kInterruptedTimeLimit = 1.0;

const char* usage =
    "usage: calvaro [--home DIR] [--script FILE] [--pages DIR [--pictures]] [--open URL]\n"
    "       calvaro serve [--home DIR] [--port N]\n"
    "       calvaro --help | --version\n"
    "  --home DIR     the data root (default $XDG_DATA_HOME/calvaro, else\n"
    "                 ~/.local/share/calvaro)\n"
    "  --script FILE  the touches to play, one action a line; without it a\n"
    "                 demonstration of a start is played\n"
    "  --pages DIR    each snapshot also as DIR/NAME.txt and DIR/NAME.html\n"
    "  --pictures     and as DIR/NAME.png, made by headless Chromium\n"
    "  --open URL     launch the application with a link, as when a campaign\n"
    "                 link is tapped on the phone (scripts: open URL)\n"
    "  serve          the application live in a browser at http://127.0.0.1:N/\n"
    "                 (N: --port, default 8080; 0 takes a free port); Ctrl-C ends it\n"
    "  --port N       the port of serve\n"
    "  --help, -h     this text\n"
    "  --version      the application's version\n"
    "  -Name          a launch argument for the frameworks, such as\n"
    "                 -DEDIzuraroveDebugEnabled\n"
    "script actions, one a line (blank lines and lines starting with # are skipped):\n"
    "  tap <identifier or title>      \"#name\" for an identifier only\n"
    "  type <text>                    characters typed on the keypad\n"
    "  tab <title or index>\n"
    "  drawer open | drawer close\n"
    "  alert <action identifier or title>\n"
    "  row <section>.<row>            taps a row of the topmost table\n"
    "  delete <section>.<row>         deletes a row by swipe\n"
    "  move <section>.<row> <section>.<row>\n"
    "  scroll <identifier> <points>   scrolls a table, collection or scroll view\n"
    "  open <url>                     opens the application with a link\n"
    "  wait <seconds>                 0 to 3600\n"
    "  snapshot [name]\n"
    "environment:\n"
    "  XDG_DATA_HOME, HOME            where the default data root lies\n"
    "  CALVARO_LANGUAGE               the language (\"en\", \"de\"); else LC_ALL,\n"
    "                                 LC_MESSAGES, LANG\n"
    "  CALVARO_RESOURCES              the resources folder (default: beside the\n"
    "                                 program, else the source tree's)\n"
    "  CALVARO_CHROMIUM               the Chromium for --pictures (default\n"
    "                                 /usr/bin/chromium)\n"
    "  CALVARO_MEASUREMENT_URL        where measurement data is uploaded (default:\n"
    "                                 nowhere unless the bundle names it)\n"
    "  CALVARO_REMOTE_CONFIG_URL      where the remote configuration is fetched\n"
    "                                 (default: not fetched)\n";

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

// A snapshot's file name: its name with anything but letters, digits, '-',
// '_' and '.' made '_' (no folder can be named, no hidden file made), or
// "snapshot-N" for an unnamed one.
std::string pageName(int number, const std::string& name) {
    if (name.empty()) return "snapshot-" + std::to_string(number);
    std::string out;
    for (unsigned char c : name) out += std::isalnum(c) || c == '-' || c == '_' || c == '.' ? static_cast<char>(c) : '_';
    if (out[0] == '.') out[0] = '_';
    return out;
}

bool writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return static_cast<bool>(file);
}

ScriptPlayer::SnapshotSink pageWriter(const std::filesystem::path& folder, bool pictures) {
    return [folder, pictures](int number, const std::string& name, const std::string& text, std::string& why) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        const std::string base = pageName(number, name);
        ui::Window* window = ui::Application::shared().keyWindow();
        if (!window) return why = "there is no window to write as a page", false;
        const auto html = folder / (base + ".html");
        if (!writeFile(folder / (base + ".txt"), text) || !writeFile(html, web::HtmlPage::ofWindow(*window)))
            return why = "cannot write the snapshot into " + foundation::printable(folder.string()), false;
        if (!pictures) return true;
        const ui::Rect frame = window->frame();
        std::string error;
        if (!web::Chromium::screenshot(web::Chromium::fileUrl(html), folder / (base + ".png"),
                                       static_cast<int>(std::lround(frame.width())),
                                       static_cast<int>(std::lround(frame.height())), 2.0, error))
            return why = "no picture of the snapshot: " + error, false;
        return true;
    };
}

}  // namespace

bool parseArguments(int argc, char** argv, LaunchOptions& options, std::string& error) {
    options = LaunchOptions{};
    std::optional<std::filesystem::path> home;
    int first = 1;
    if (argc > 1 && std::string(argv[1]) == "serve") {
        options.serve = true;
        first = 2;
    }
    for (int i = first; i < argc; ++i) {
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
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--home" || arg.rfind("--home=", 0) == 0) {
            auto v = value("--home");
            if (!v || v->empty()) return error = "--home needs a folder", false;
            home = *v;
        } else if (arg == "--script" || arg.rfind("--script=", 0) == 0) {
            auto v = value("--script");
            if (!v || v->empty()) return error = "--script needs a file", false;
            options.script = *v;
        } else if (arg == "--pages" || arg.rfind("--pages=", 0) == 0) {
            auto v = value("--pages");
            if (!v || v->empty()) return error = "--pages needs a folder", false;
            options.pages = *v;
        } else if (options.serve && (arg == "--port" || arg.rfind("--port=", 0) == 0)) {
            auto v = value("--port");
            if (!v || v->empty() || v->size() > 5 || v->find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(*v) > 65535)
                return error = "--port needs a port number (0 to 65535)", false;
            options.port = std::stoi(*v);
        } else if (arg == "--open" || arg.rfind("--open=", 0) == 0) {
            auto v = value("--open");
            if (!v || v->empty() || v->find(':') == std::string::npos ||
                v->find_first_of(" \t\r\n") != std::string::npos)
                return error = "--open needs a URL", false;
            options.openURL = *v;
        } else if (arg == "--pictures") {
            options.pictures = true;
        } else if (arg.size() > 1 && arg[0] == '-' && std::isupper(static_cast<unsigned char>(arg[1]))) {
            // The platform's launch arguments belong to the frameworks
            // (foundation::ProcessInfo); the launcher only lets them through.
        } else {
            return error = "unknown argument \"" + arg + "\"", false;
        }
    }
    if (options.pictures && !options.pages) return error = "--pictures needs --pages DIR", false;
    if (options.serve && (options.script || options.pages))
        return error = "serve takes no --script and no --pages", false;
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

int runCalvaro(int argc, char** argv, const LaunchHooks& hooks, std::ostream& out, std::ostream& err,
               const std::function<void(const std::string& url)>& interceptOpenURL) {
    foundation::ProcessInfo::setArguments(std::vector<std::string>(argv, argv + argc));
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
    if (options.version) {
        const foundation::Bundle& bundle = foundation::Bundle::main();
        auto text = [&](const char* key) {
            const foundation::Value value = bundle.objectForInfoDictionaryKey(key);
            return value.string() ? *value.string() : std::string("unknown");
        };
        out << "calvaro " << text("CFBundleShortVersionString") << " (build " << text("CFBundleVersion") << ")\n";
        return 0;
    }

    // The whole script is read and checked before the data root is touched.
    std::string scriptText;
    std::string scriptName = "demonstration";
    if (options.script) {
        scriptName = foundation::printable(options.script->string());
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
    // Another user who made or can write the data root could plant links
    // and files in it for the application to follow.
    if (std::string why; !foundation::FileSystem::isPrivateFolder(options.home, &why)) {
        err << "calvaro: refusing the data root: " << why << "\n";
        return 1;
    }
    // Before anything in the root is read: a second process would overwrite
    // what this one writes (and the other way round).
    if (auto refused = foundation::DataRootLock::acquire(options.home)) {
        err << "calvaro: " << refused->message << "\n";
        return 1;
    }
    foundation::FileSystem::setHome(options.home);
    dispatch::markMainThread();
    // Measurement data leaves the machine only for an endpoint named here or
    // in the bundle.
    if (const char* url = std::getenv("CALVARO_MEASUREMENT_URL"); url && *url) MSRRemoteConfig::setMeasurementURL(url);

    // The demonstration depends on what the data root has seen already.
    if (!options.script && !options.serve && hooks.demoScript && !parseScript(hooks.demoScript(), actions, &scriptError)) {
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
        foundation::Value::Dictionary launchOptions;
        if (options.openURL) launchOptions["UIApplicationLaunchOptionsURLKey"] = foundation::Value(*options.openURL);
        application.setDeclaresScenes(
            !foundation::Bundle::main().objectForInfoDictionaryKey("UIApplicationSceneManifest").isAbsent());
        if (!application.launch(delegate, launchOptions)) {
            err << "calvaro: the application did not finish launching\n";
            return 1;
        }
        ui::Driver driver(application);
        driver.settle();
        // An application with scenes becomes active once its scene has
        // connected, shortly after the launch (within a bound the
        // application keeps); the person's input waits for that.
        if (application.declaresScenes())
            driver.wait(kSceneActivityLimit, [&] {
                return application.applicationState() == ui::Application::State::active ||
                       (hooks.stopSignal && hooks.stopSignal() != 0);
            });
        if (options.serve) {
            // A share is answered at once; its picture follows as a download.
            ui::ActivityViewController::setSavesInBackground(true);
            LiveServer server(driver);
            if (!server.start(options.port, error)) {
                application.terminate();
                application.waitForBackgroundTasks(kBackgroundTimeLimit);
                err << "calvaro: " << error << "\n";
                return 1;
            }
            // The secret goes with the address: whoever opens it is served.
            out << "calvaro: the application is live at " << server.url() << " (Ctrl-C ends it)" << std::endl;
            server.pump([&] { return hooks.stopSignal && hooks.stopSignal() != 0; });
            server.stop();
            application.terminate();
            application.waitForBackgroundTasks(kInterruptedTimeLimit);
            out << "calvaro: ended" << std::endl;
            return 0;
        }
        ScriptPlayer player(driver, out);
        if (options.pages) player.setSnapshotSink(pageWriter(*options.pages, options.pictures));
        if (hooks.stopSignal) player.setStopRequest([&] { return hooks.stopSignal() != 0; });
        // As on the phone: what intercepts the application delegate sees the
        // link first, then the delegate itself.
        player.setURLOpener([&](const std::string& url, std::string&) {
            if (interceptOpenURL) interceptOpenURL(url);
            if (auto opened = application.delegate()) opened->openURL(application, url, {});
            return true;
        });
        bool played = player.play(actions, &scriptError);
        // No input is taken from here on. Like the platform, the process
        // lives on until the work begun for the background (the analytics
        // writes and upload) has ended, for a bounded time, and runs what
        // every queue holds meanwhile; a signal asks for the end now.
        const bool signalled = hooks.stopSignal && hooks.stopSignal() != 0;
        application.terminate();
        application.waitForBackgroundTasks(signalled ? kInterruptedTimeLimit : kBackgroundTimeLimit);
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
