#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Calvaro/engine/CalcManager.h"
#include "Calvaro/screens/AppNavigationDrawerController.h"
#include "Calvaro/screens/HistoryTableViewController.h"
#include "Calvaro/screens/LeftViewController.h"
#include "Calvaro/screens/ManualViewController.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/OnboardingManager.h"
#include "Calvaro/services/RemoteConfigManager.h"
#include "ScreenTestEnvironment.h"
#include "app/CalvaroMain.h"
#include "app/Launcher.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/kit/ToolbarController.h"
#include "platform/ui/Application.h"
#include "platform/ui/Driver.h"
#include "platform/ui/Snapshot.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> storedLatex() {
    std::vector<std::string> latex;
    for (const auto& record : CalcManager::shared().calculations()) latex.push_back(record.latexString);
    return latex;
}

void markReturningUser() {
    foundation::UserDefaults::standard().set(OnboardingManager::isOnboardingFinishedKey, true);
    foundation::UserDefaults::standard().set(DsgvoManager::isDsgvoAcceptedKey, true);
    foundation::UserDefaults::standard().set("counterForRating", 100);
}

int play(ScreenTestEnvironment& environment, const std::string& script, std::string& out) {
    const auto path = environment.home() / "script.txt";
    std::ofstream(path) << script;
    std::vector<std::string> args{"calvaro", "--home", environment.home().string(), "--script", path.string(),
                                  "--pages", (environment.home() / "pages").string(), "--pictures"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    std::ostringstream output, err;
    const int status = app::runCalvaro(static_cast<int>(argv.size()), argv.data(),
                                       app::LaunchHooks{makeCalvaroAppDelegate, {}, {}}, output, err);
    out = output.str() + err.str();
    return status;
}

std::string exercise(int a) {
    return "tap toolbarRemoveButton\ntap aTextField\ntype " + std::to_string(a) +
           "\ntap bTextField\ntype 2\ntap cTextField\ntype 1-\ntap dTextField\ntype 1\ntap zTextField\ntype 2\n"
           "tap calculateButton\n";
}

// Three exercises, then the history from the drawer: one deleted, one moved,
// clearing cancelled, one reopened on a fresh Calculate screen. A restart
// finds the history exactly as it was left. The manual, the menu and the
// history are kept as pages and pictures on the way.
TEST(HistoryScreen, ScriptedEditsSurviveARestart) {
    ScreenTestEnvironment environment;
    markReturningUser();
    std::string out;
    const std::string script = "tap manualButton\nsnapshot manual\ntap closeManualButton\n" + exercise(3) +
                               "tab 0\n" + exercise(5) + "tab 0\n" + exercise(7) +
                               "drawer open\nsnapshot menu\nrow 0.1\nsnapshot history\n"
                               "delete 0.0\ntap historyEditButton\nmove 0.0 0.2\n"
                               "tap historyClearButton\nalert Cancel\nrow 0.0\nsnapshot reopened\n";
    ASSERT_EQ(play(environment, script, out), 0) << out;
    const std::vector<std::string> left = storedLatex();
    ASSERT_EQ(left.size(), 3u) << "the example and three exercises, one deleted";
    EXPECT_NE(left[2].find("\\log_{5}"), std::string::npos) << "the newest left moved from the top to the end";
    EXPECT_NE(left[0].find("\\log_{3}"), std::string::npos);
    const std::string reopened = out.substr(out.find("=== snapshot 4"));
    EXPECT_NE(reopened.find("field #aTextField \"" + std::string("3") + "\""), std::string::npos) << reopened;
    EXPECT_EQ(reopened.find("[HistoryTableViewController]"), std::string::npos);
    EXPECT_EQ(environment.events().back(), "tapped_history_item");
    EXPECT_EQ(environment.lastParameters("tapped_history_item")->at("latex_string"), foundation::Value(left[0]));
    EXPECT_FALSE(environment.lastParameters("tapped_history_clear")) << "cancelling logs nothing";
    expectGolden("history", out.substr(out.find("=== snapshot 3"), out.find("=== snapshot 4") - out.find("=== snapshot 3")));
    for (const char* page : {"manual", "menu", "history", "reopened"})
        EXPECT_GT(fs::file_size(environment.home() / "pages" / (std::string(page) + ".png")), 4000u) << page;

    environment.restart();
    EXPECT_EQ(storedLatex(), left);
}

class LaunchedTest : public ::testing::Test {
protected:
    void SetUp() override {
        markReturningUser();
        ui::Application::shared().launch(makeCalvaroAppDelegate());
        driver_.settle();
    }

    LeftViewController& menu() {
        auto& drawer = static_cast<kit::NavigationDrawerController&>(
            *ui::Application::shared().keyWindow()->rootViewController());
        return static_cast<LeftViewController&>(
            *static_cast<kit::ToolbarController&>(*drawer.leftViewController()).rootViewController());
    }

    // The remote "apps" value as the fetched configuration would hold it.
    void serveApps(const std::string& json) {
        environment_.remoteConfig()->setDefaults({{"apps", foundation::Value(R"({"apps":)" + json + "}")}});
        RemoteConfigManager::shared().loadApps(*environment_.remoteConfig());
        environment_.executor().runUntilIdle();
    }

    static std::string app(const std::string& names, bool multi, const std::string& scheme,
                           const std::string& store = "") {
        return R"({"appIdentifiers":["org.example.)" + scheme + R"("],"appName":{)" + names + R"(},"appURL":")" +
               scheme + R"(://","appURLPro":")" + scheme + R"(pro://","ratingURL":"","ratingURLPro":"","storeURL":"",)" +
               R"("storeURLPro":")" + (store.empty() ? "https://store.example.org/" + scheme : store) + R"(","isMultiApp":)" +
               (multi ? "true" : "false") + R"(,"shouldShow":true,"calculationsUntilInterstitial":1})";
    }

    ScreenTestEnvironment environment_;
    ui::Driver driver_;
};

TEST(MenuNames, DisplayNamesFallBackFromTheDeviceLanguageToEnglishToNothing) {
    const char* saved = std::getenv("CALVARO_LANGUAGE");
    const std::string kept = saved ? saved : "";
    setenv("CALVARO_LANGUAGE", "de", 1);
    const std::pair<std::map<std::string, std::string>, std::string> cases[] = {
        {{{"de", "Potenzen"}, {"en", "Powers"}}, "Potenzen"},
        {{{"en", "Powers"}, {"fr", "Puissances"}}, "Powers"},
        {{{"fr", "Puissances"}}, ""},
        {{}, ""},
    };
    for (const auto& [names, shown] : cases) {
        AppMetaData record;
        record.appName = names;
        EXPECT_EQ(LeftViewController::displayName(record), shown);
    }
    if (saved) setenv("CALVARO_LANGUAGE", kept.c_str(), 1); else unsetenv("CALVARO_LANGUAGE");
}

// An installed sibling opens through its pro link, else its plain link;
// a missing one opens its store page. Remote links of other kinds open nothing.
TEST_F(LaunchedTest, AppRowsOpenTheFirstLinkThatOpensAndLogHasApp) {
    serveApps("[" + app(R"("en":"Pro")", false, "quadrix") + "," + app(R"("en":"Plain")", false, "plain") + "," +
              app(R"("en":"Missing")", false, "missing") + "," + app(R"("en":"Multi")", true, "multi") + "]");
    auto& application = ui::Application::shared();
    application.registerURLScheme("quadrixpro");
    application.registerURLScheme("plain");
    driver_.openDrawer();
    const std::pair<ui::IndexPath, std::pair<std::string, bool>> cases[] = {
        {{3, 0}, {"quadrixpro://", true}},
        {{3, 1}, {"plain://", true}},
        {{3, 2}, {"https://store.example.org/missing", false}},
        {{2, 0}, {"https://store.example.org/multi", false}},
    };
    for (const auto& [row, expected] : cases) {
        ASSERT_TRUE(driver_.selectRow(row)) << driver_.lastError();
        EXPECT_EQ(application.openedURLs().back(), expected.first);
        EXPECT_EQ(environment_.lastParameters("Tapped App Link")->at("has_app"), foundation::Value(expected.second));
    }
    EXPECT_EQ(environment_.lastParameters("Tapped App Link")->at("kalApp"), foundation::Value("Multi"));
    EXPECT_NE(ui::Snapshot::ofKeyWindow().find("opened \"quadrixpro://\""), std::string::npos);

    const size_t opened = application.openedURLs().size();
    for (const std::string store : {"file:///etc/passwd", "javascript:alert(1)", "http://store.example.org/x"}) {
        serveApps("[" + app(R"("en":"Bad")", false, "bad", store) + "," + app(R"("en":"Multi")", true, "multi") + "]");
        ASSERT_TRUE(driver_.selectRow({3, 0})) << driver_.lastError();
    }
    EXPECT_EQ(application.openedURLs().size(), opened);
}

TEST_F(LaunchedTest, CalculateRowPutsAFreshTreeInPlaceAndClosesTheDrawer) {
    driver_.openDrawer();
    ASSERT_TRUE(driver_.selectRow({0, 0})) << driver_.lastError();
    const std::string shown = ui::Snapshot::ofKeyWindow();
    EXPECT_NE(shown.find("[CalculateViewController]"), std::string::npos);
    EXPECT_EQ(shown.find("drawer open"), std::string::npos);
    EXPECT_EQ(environment_.events().back(), "tapped_menu_calculate");
}

// From the Calculate screen the manual opens in the history script.
TEST_F(LaunchedTest, ManualOpensFromTheSolutionScreenAndTheToolbarFontLoads) {
    auto manual = [] {
        auto* root = ui::Application::shared().keyWindow()->rootViewController().get();
        return std::dynamic_pointer_cast<ManualViewController>(root->presentedViewController());
    };
    for (const auto& [field, text] : {std::pair{"aTextField", "3"}, {"bTextField", "2"}, {"zTextField", "2"}})
        ASSERT_TRUE(driver_.tap(field) && driver_.type(text)) << driver_.lastError();
    ASSERT_TRUE(driver_.tap("calculateButton") && driver_.tap("manualButton")) << driver_.lastError();
    ASSERT_TRUE(manual()) << ui::Snapshot::ofKeyWindow();
    EXPECT_EQ(manual()->imageName, "clv_info");
    EXPECT_EQ(manual()->modalPresentationStyle(), ui::ModalPresentationStyle::pageSheet);
    manual()->zoom(10);
    EXPECT_EQ(manual()->zoomScale(), ManualViewController::maximumZoomScale);
    ASSERT_TRUE(driver_.tap(ManualViewController::closeButtonIdentifier)) << driver_.lastError();
    EXPECT_FALSE(manual());

    EXPECT_FALSE(ui::Font::loaded("Avenier", 14));
    auto& drawer = static_cast<kit::NavigationDrawerController&>(*ui::Application::shared().keyWindow()->rootViewController());
    auto& toolbar = static_cast<kit::ToolbarController&>(*drawer.rootViewController());
    auto& clear = static_cast<ui::Button&>(*toolbar.toolbar().rightViews().front());
    EXPECT_EQ(clear.titleLabel().font(), ui::Font::named("Avenir-Medium", 14));
}

// The menu has its two own sections, and the two of the family's apps only
// when both lists hold apps; its contact rows are the community, then rating.
TEST_F(LaunchedTest, MenuShowsTheAppSectionsOnlyWithBothListsAndItsContactRowsInOrder) {
    driver_.openDrawer();
    const std::string single = app(R"("en":"Single")", false, "single"), multi = app(R"("en":"Multi")", true, "multi");
    const std::pair<std::string, int64_t> cases[] = {
        {"[]", 2}, {"[" + single + "]", 2}, {"[" + multi + "]", 2}, {"[" + single + "," + multi + "]", 4}};
    for (const auto& [apps, sections] : cases) {
        serveApps(apps);
        EXPECT_EQ(menu().numberOfSections(menu().tableView()), sections) << apps;
        EXPECT_EQ(menu().tableView().numberOfSections(), sections) << apps;
    }
    const std::string shown = ui::Snapshot::ofKeyWindow();
    ASSERT_NE(shown.find("row 1.0\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("label \"Community\"", shown.find("row 1.0\n")), std::string::npos);
    EXPECT_LT(shown.find("label \"Community\""), shown.find("label \"Rate this App\""));
    // Each contact row asks the internet check first and goes on with its
    // answer, within the tap: the community row opens the invitation.
    const std::pair<ui::IndexPath, std::string> rows[] = {{{1, 0}, "tapped_discord"}, {{1, 1}, "tapped_rate_app"}};
    for (const auto& [row, event] : rows) {
        const size_t asked = environment_.internetCheck().requests().size();
        ASSERT_TRUE(driver_.selectRow(row)) << driver_.lastError();
        EXPECT_EQ(environment_.internetCheck().requests().size(), asked + 1) << event;
        EXPECT_NE(std::find(environment_.events().begin(), environment_.events().end(), event), environment_.events().end())
            << event;
        if (event == "tapped_discord") {
            ASSERT_FALSE(ui::Application::shared().openedURLs().empty());
            EXPECT_EQ(ui::Application::shared().openedURLs().back(), LeftViewController::communityInviteLink);
        }
        auto* root = ui::Application::shared().keyWindow()->rootViewController().get();
        if (root->presentedViewController()) root->dismiss(false);
        driver_.openDrawer();
    }
}

// The history logs a deleted record and a cleared history with its count.
TEST_F(LaunchedTest, HistoryLogsDeletesAndClearing) {
    for (const char* a : {"3", "5"}) {
        ASSERT_TRUE(driver_.tap("toolbarRemoveButton") && driver_.tap("aTextField") && driver_.type(a) &&
                    driver_.tap("bTextField") && driver_.type("2") && driver_.tap("calculateButton") && driver_.chooseTab("0"))
            << driver_.lastError();
    }
    auto openHistory = [&] {
        ASSERT_TRUE(driver_.openDrawer() && driver_.selectRow({0, 1})) << driver_.lastError();
    };
    openHistory();
    const size_t stored = CalcManager::shared().calculations().size();
    ASSERT_GE(stored, 3u);
    ASSERT_TRUE(driver_.deleteRow({0, 0})) << driver_.lastError();
    EXPECT_EQ(environment_.events().back(), "tapped_history_delete_single_calc");
    EXPECT_EQ(CalcManager::shared().calculations().size(), stored - 1);

    openHistory();
    ASSERT_TRUE(driver_.tap(HistoryTableViewController::clearAllButtonIdentifier)) << driver_.lastError();
    ASSERT_TRUE(driver_.answerAlert("Clear")) << driver_.lastError();
    ASSERT_TRUE(environment_.lastParameters("tapped_history_clear"));
    EXPECT_EQ(environment_.lastParameters("tapped_history_clear")->at("calc_count"),
              foundation::Value(static_cast<int64_t>(stored - 1)));
    EXPECT_TRUE(CalcManager::shared().calculations().empty());
}

// A record reopened from the history is written to the preferences at once,
// before any screen takes it, so that it survives an end of the process.
TEST(HistoryScreen, AReopenedRecordIsWrittenToThePreferences) {
    ScreenTestEnvironment environment;
    Calculation record = CalcManager::shared().calculations().at(0);
    record.latexString = "f(x) = reopened";
    CalcManager::shared().addCalculation(record);
    auto history = std::make_shared<HistoryTableViewController>();
    auto window = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
    window->setRootViewController(history);
    window->makeKeyAndVisible();
    ui::Driver driver;
    ASSERT_TRUE(driver.selectRow({0, 0})) << driver.lastError();
    const auto kept = foundation::UserDefaults::standard().object(CalcManager::currentSelectedCalculationKey);
    ASSERT_TRUE(kept.dictionary()) << "the reopened record is in the preferences";
    EXPECT_NE(kept.jsonText().find("f(x) = reopened"), std::string::npos) << kept.jsonText();
    EXPECT_FALSE(foundation::UserDefaults::standard().object(CalcManager::currentCalculationKey).dictionary())
        << "the exercise being edited gives way to it";
}

}  // namespace
