#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "UiTestSupport.h"
#include "app/Launcher.h"
#include "app/ScriptPlayer.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

TEST(ScriptParse, MalformedLinesAreNamedByNumber) {
    struct Case {
        std::string script;
        int line;
        std::string message;
    };
    const Case cases[] = {
        {"tap Calculate\ntapp Calculate\n", 2, "unknown action \"tapp\""},
        {"# comment\n\n  tap   \n", 3, "\"tap\" needs an argument"},
        {"drawer sideways", 1, "\"drawer\" takes \"open\" or \"close\", not \"sideways\""},
        {"snapshot\nwait -1", 2, "\"wait\" takes a number of seconds from 0 to 3600, not \"-1\""},
        {"wait 3600.5", 1, "\"wait\" takes a number of seconds from 0 to 3600, not \"3600.5\""},
        {"wait nan", 1, "\"wait\" takes a number of seconds from 0 to 3600, not \"nan\""},
        {"alert\t", 1, "\"alert\" needs an argument"},
        {"row 0", 1, "\"row\" takes a row as <section>.<row>, not \"0\""},
        {"delete 0.-1", 1, "\"delete\" takes a row as <section>.<row>, not \"0.-1\""},
        {"move 0.1", 1, "\"move\" takes two rows as <section>.<row>, not \"0.1\""},
        {std::string("type a\0b", 8), 1, "the line holds a NUL character"},
        {"scroll solutionTableView", 1,
         "\"scroll\" takes an identifier and a number of points from 0 to 1000000, not \"solutionTableView\""},
        {"scroll list -5", 1, "\"scroll\" takes an identifier and a number of points from 0 to 1000000, not \"list -5\""},
        {"scroll list 1e3", 1, "\"scroll\" takes an identifier and a number of points from 0 to 1000000, not \"list 1e3\""},
        {"open", 1, "\"open\" takes one URL, not \"\""},
        {"open https://a.example/ x", 1, "\"open\" takes one URL, not \"https://a.example/ x\""},
        {"open calvaro.example", 1, "\"open\" takes one URL, not \"calvaro.example\""},
    };
    for (const auto& c : cases) {
        std::vector<app::ScriptAction> actions;
        app::ScriptError error;
        EXPECT_FALSE(app::parseScript(c.script, actions, &error)) << c.script;
        EXPECT_EQ(error.describe(), "line " + std::to_string(c.line) + ": " + c.message);
    }
}

TEST(ScriptParse, WellFormedScriptKeepsArgumentsAndLines) {
    std::vector<app::ScriptAction> actions;
    app::ScriptError error;
    ASSERT_TRUE(
        app::parseScript("# start\ntap  Clear all \ntype -1.5\r\ntab 1\ndrawer close\nwait 0.25\nsnapshot\n"
                         "snapshot after\nalert OK\nmove 0.2  1.10",
                         actions, &error));
    ASSERT_EQ(actions.size(), 9u);
    EXPECT_EQ(actions[8].row, (ui::IndexPath{0, 2}));
    EXPECT_EQ(actions[8].to, (ui::IndexPath{1, 10}));
    EXPECT_EQ(actions[0].argument, "Clear all");
    EXPECT_EQ(actions[1].argument, "-1.5");
    EXPECT_EQ(actions[4].seconds, 0.25);
    EXPECT_EQ(actions[6].argument, "after");
    EXPECT_EQ(actions[7].line, 9);

    ASSERT_TRUE(app::parseScript("scroll #solutionTableView  120.5", actions, &error));
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].kind, app::ScriptAction::Kind::scroll);
    EXPECT_EQ(actions[0].argument, "#solutionTableView");
    EXPECT_EQ(actions[0].points, 120.5);
}

// The help names every action a script may hold and every variable of the
// environment the program reads; --version names the bundle's version.
TEST(LauncherArguments, HelpNamesEveryActionAndVariableAndVersionTheBundles) {
    auto run = [](std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        std::ostringstream out, err;
        EXPECT_EQ(app::runCalvaro(static_cast<int>(argv.size()), argv.data(), {}, out, err), 0) << err.str();
        return out.str();
    };
    const std::string help = run({"calvaro", "--help"});
    for (const char* action : {"tap", "type", "tab", "drawer", "alert", "row", "delete", "move", "scroll", "wait", "snapshot"}) {
        EXPECT_NE(help.find("\n  " + std::string(action)), std::string::npos) << action;
    }
    for (const char* variable : {"XDG_DATA_HOME", "HOME", "CALVARO_LANGUAGE", "CALVARO_RESOURCES", "CALVARO_CHROMIUM",
                                 "CALVARO_MEASUREMENT_URL", "CALVARO_REMOTE_CONFIG_URL", "--port", "--version"})
        EXPECT_NE(help.find(variable), std::string::npos) << variable;
    EXPECT_EQ(run({"calvaro", "--version"}), "calvaro 1.0 (build 1)\n");
}

// A delegate with one screen: a button that counts taps into a label.
class CounterDelegate : public ui::ApplicationDelegate {
  public:
    std::shared_ptr<ui::Window> window;
    bool didFinishLaunching(ui::Application&, const foundation::Value::Dictionary&) override {
        auto screen = std::make_shared<ui::ViewController>();
        auto label = std::make_shared<ui::Label>();
        label->setText("0");
        auto button = std::make_shared<ui::Button>();
        button->setTitle("Count");
        button->addTarget(ui::ControlEvent::touchUpInside, [label](ui::Control&) {
            label->setText(std::to_string(std::stoi(label->text()) + 1));
        });
        screen->view()->addSubview(label);
        screen->view()->addSubview(button);
        window = std::make_shared<ui::Window>();
        window->setRootViewController(screen);
        window->makeKeyAndVisible();
        return true;
    }
};

class LauncherTest : public UiTest {
  protected:
    int run(const std::string& script, const std::filesystem::path& home) {
        auto path = dir / "script.txt";
        std::ofstream(path) << script;
        return runFile(path, home);
    }
    int runFile(const std::filesystem::path& path, const std::filesystem::path& home) {
        std::vector<std::string> args{"calvaro", "--home", home.string(), "--script", path.string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        app::LaunchHooks hooks{
            [] { return std::make_shared<CounterDelegate>(); }, [] { return std::string(); }, {}};
        out.str("");
        err.str("");
        return app::runCalvaro(static_cast<int>(argv.size()), argv.data(), hooks, out, err);
    }
    TemporaryDataRoot root_{"launcher"};
    const std::filesystem::path& dir = root_.path();
    std::ostringstream out, err;
};

TEST_F(LauncherTest, PlaysTheScriptAndWritesSnapshots) {
    ASSERT_EQ(run("tap Count\ntap Count\nsnapshot two\n", dir / "home"), 0) << err.str();
    EXPECT_EQ(out.str(),
              "=== snapshot 1: two ===\n"
              "window 390x844 light\n"
              "  [ViewController]\n"
              "    label \"2\"\n"
              "    button \"Count\"\n");
}

// A link to launch with travels in the launch options and the launch
// notification; a link opened by the script reaches the interceptor first,
// then the delegate.
TEST_F(LauncherTest, LinksReachTheLaunchOptionsAndTheDelegate) {
    struct LinkDelegate : CounterDelegate {
        std::vector<std::string> seen;
        bool didFinishLaunching(ui::Application& application, const foundation::Value::Dictionary& options) override {
            const foundation::Value all(options);
            if (const std::string* url = all["UIApplicationLaunchOptionsURLKey"].string()) seen.push_back("launch " + *url);
            return CounterDelegate::didFinishLaunching(application, options);
        }
        std::optional<bool> openURL(ui::Application&, const std::string& url, const foundation::Value::Dictionary&) override {
            seen.push_back("open " + url);
            return true;
        }
    };
    auto delegate = std::make_shared<LinkDelegate>();
    std::vector<std::string> notified;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        ui::Application::didFinishLaunchingNotification, [&](const foundation::Notification& notification) {
            if (!notification.userInfo) return;
            const foundation::Value all(*notification.userInfo);
            if (const std::string* url = all["UIApplicationLaunchOptionsURLKey"].string()) notified.push_back(*url);
        });
    const auto script = dir / "links.txt";
    std::ofstream(script) << "open https://calvaro.example/b?utm_source=b\n";
    std::vector<std::string> args{"calvaro", "--home", (dir / "home").string(), "--script", script.string(),
                                  "--open", "https://calvaro.example/a?utm_source=a"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    app::LaunchHooks hooks{[delegate] { return delegate; }, [] { return std::string(); }, {}};
    std::vector<std::string> intercepted;
    ASSERT_EQ(app::runCalvaro(static_cast<int>(argv.size()), argv.data(), hooks, out, err,
                              [&](const std::string& url) { intercepted.push_back(url); }),
              0)
        << err.str();
    EXPECT_EQ(delegate->seen, (std::vector<std::string>{"launch https://calvaro.example/a?utm_source=a",
                                                        "open https://calvaro.example/b?utm_source=b"}));
    EXPECT_EQ(notified, std::vector<std::string>{"https://calvaro.example/a?utm_source=a"});
    EXPECT_EQ(intercepted, std::vector<std::string>{"https://calvaro.example/b?utm_source=b"});
}

TEST_F(LauncherTest, MalformedScriptStopsBeforeTheDataRootIsTouched) {
    auto home = dir / "untouched";
    EXPECT_EQ(run("tap Count\nwat 2\n", home), 1);
    EXPECT_NE(err.str().find("line 2: unknown action \"wat\""), std::string::npos) << err.str();
    EXPECT_FALSE(std::filesystem::exists(home));
    EXPECT_TRUE(out.str().empty());
}

TEST_F(LauncherTest, ActionThatCannotBeDoneNamesItsLine) {
    EXPECT_EQ(run("tap Count\n\ntap Missing\nsnapshot\n", dir / "home"), 1);
    EXPECT_NE(err.str().find("line 3: nothing on the screen is called \"Missing\""), std::string::npos) << err.str();
    EXPECT_TRUE(out.str().empty());  // the snapshot after it is never taken
}

// A script is read whole before anything runs: what cannot be a script, or is
// too large to be one, is refused before it fills the memory, and no byte of
// it reaches the terminal unescaped.
TEST_F(LauncherTest, ScriptsThatCannotBePlayedAreRefusedClearly) {
    struct Case {
        std::string name;
        std::filesystem::path path;
        std::string script;  // written to `path` when not empty
        std::string error;
    };
    const Case cases[] = {
        {"folder", dir, "", "the script " + dir.string() + " is a folder, not a script"},
        {"endless", "/dev/zero", "", "the script /dev/zero is larger than 1048576 bytes"},
        {"long line", dir / "long.txt", "snapshot\ntype " + std::string(5000, '1') + "\n",
         "line 2: the line is longer than 4096 bytes"},
        {"raw bytes", dir / "raw.txt", "tap \x1b]0;owned\x07\xff\xc2\x9b\n",
         "line 1: nothing on the screen is called \"\\x1b]0;owned\\x07\\xff\\u{9b}\""},
        {"raw word", dir / "word.txt", "ta\rp Count\n", "line 1: unknown action \"ta\\rp\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.script.empty()) std::ofstream(c.path, std::ios::binary) << c.script;
        EXPECT_EQ(runFile(c.path, dir / "home"), 1);
        EXPECT_NE(err.str().find(c.error), std::string::npos) << err.str();
        for (char byte : err.str()) EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7f)) << err.str();
    }
}

TEST(LauncherArguments, DataRootFollowsXdgDataHome) {
    const char* savedXdg = std::getenv("XDG_DATA_HOME");
    const std::string xdg = savedXdg ? savedXdg : "";
    struct Case {
        const char* xdg;  // null: unset
        std::filesystem::path home;
    };
    const std::filesystem::path user = std::getenv("HOME") ? std::getenv("HOME") : "";
    const Case cases[] = {
        {"/tmp/xdg-data", "/tmp/xdg-data/calvaro"},
        {nullptr, user / ".local/share/calvaro"},
        {"relative/data", user / ".local/share/calvaro"},  // not absolute: ignored
    };
    for (const auto& c : cases) {
        if (c.xdg)
            setenv("XDG_DATA_HOME", c.xdg, 1);
        else
            unsetenv("XDG_DATA_HOME");
        std::string arg0 = "calvaro";
        char* argv[] = {arg0.data()};
        app::LaunchOptions options;
        std::string error;
        ASSERT_TRUE(app::parseArguments(1, argv, options, error)) << error;
        EXPECT_EQ(options.home, c.home) << (c.xdg ? c.xdg : "unset");
    }
    if (savedXdg)
        setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

TEST(LauncherArguments, OptionsAndErrors) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::string error;
    };
    const Case cases[] = {
        {{"calvaro", "--home=/tmp/h", "--script", "s.txt"}, true, ""},
        {{"calvaro", "--home"}, false, "--home needs a folder"},
        {{"calvaro", "--home", "/tmp/h", "--script"}, false, "--script needs a file"},
        {{"calvaro", "--verbose"}, false, "unknown argument \"--verbose\""},
        {{"calvaro", "--home", "/tmp/h", "--pages", "/tmp/p", "--pictures"}, true, ""},
        {{"calvaro", "--home", "/tmp/h", "--pictures"}, false, "--pictures needs --pages DIR"},
        {{"calvaro", "serve", "--home", "/tmp/h", "--port", "0"}, true, ""},
        {{"calvaro", "serve", "--port", "65536"}, false, "--port needs a port number (0 to 65535)"},
        {{"calvaro", "serve", "--port", "80x"}, false, "--port needs a port number (0 to 65535)"},
        {{"calvaro", "--port", "8080"}, false, "unknown argument \"--port\""},
        {{"calvaro", "serve", "--home", "/tmp/h", "--script", "s.txt"}, false, "serve takes no --script and no --pages"},
        {{"calvaro", "--home", "/tmp/h", "--open", "https://calvaro.example/?utm_source=s"}, true, ""},
        {{"calvaro", "--home", "/tmp/h", "--open=calvaro"}, false, "--open needs a URL"},
        {{"calvaro", "--home", "/tmp/h", "--open"}, false, "--open needs a URL"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        app::LaunchOptions options;
        std::string error;
        EXPECT_EQ(app::parseArguments(static_cast<int>(argv.size()), argv.data(), options, error), c.ok)
            << c.args[1];
        EXPECT_EQ(error, c.error);
        if (c.ok) {
            EXPECT_EQ(options.home, "/tmp/h");
        }
    }
}

}  // namespace
