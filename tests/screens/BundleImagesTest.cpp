#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/CalvaroMain.h"
#include "Calvaro/services/KalAdsViewController.h"
#include "Calvaro/services/OnboardViewController.h"
#include "Calvaro/services/OnboardingManager.h"
#include "ScreenTestEnvironment.h"
#include "app/Launcher.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/Application.h"
#include "platform/ui/Driver.h"
#include "platform/ui/ImageView.h"

namespace {

namespace fs = std::filesystem;

// What is wrong with the bundle's drawings of `name` in `language`: each of
// 1x, 2x and 3x present, and one carrying words taken from that language's
// folder, not from another language's.
std::string missingDrawings(const std::string& name, const std::string& language) {
    const foundation::Bundle& main = foundation::Bundle::main();
    foundation::Bundle bundle(main.resourcePath(), language);
    std::string missing;
    for (int scale : {1, 2, 3}) {
        auto path = bundle.imagePath(name, scale);
        const std::string wanted = scale == 1 ? name + ".png" : name + "@" + std::to_string(scale) + "x.png";
        if (!path || path->filename() != wanted) {
            missing += " " + wanted;
            continue;
        }
        const std::string folder = path->parent_path().filename().string();
        if (folder.size() > 6 && folder.substr(folder.size() - 6) == ".lproj" && folder != language + ".lproj")
            missing += " " + wanted + " in " + language + " (found only in " + folder + ")";
    }
    return missing;
}

// Plays a whole use of the application (consent, the tour, both forms, the
// manual from both screens, a calculation), then opens the video tour and
// the house ad, and checks every image name asked for on the way.
TEST(BundleImages, EveryImageTheScreensAskForIsDrawnInEveryLanguage) {
    ScreenTestEnvironment environment;
    ui::Image::forgetNamesAskedFor();
    const fs::path script = environment.home() / "tour.txt";
    const fs::path pages = environment.home() / "pages";
    std::ofstream(script) << "alert #dsgvoAcceptButton\n"
                             "tap onboardAdvanceButton\ntap onboardAdvanceButton\ntap onboardAdvanceButton\n"
                             "tap onboardAdvanceButton\ntap onboardAdvanceButton\n"
                             "tap exp\nsnapshot exp\ntap log\ntap manualButton\nsnapshot manual\n"
                             "tap closeManualButton\ntap calculateButton\nsnapshot solution\n"
                             "tap manualButton\nsnapshot solution_manual\n";
    std::vector<std::string> args{"calvaro", "--home", environment.home().string(), "--script", script.string(),
                                  "--pages", pages.string()};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    std::ostringstream out, err;
    ASSERT_EQ(app::runCalvaro(static_cast<int>(argv.size()), argv.data(),
                              {makeCalvaroAppDelegate, calvaroDemoScript, {}}, out, err),
              0)
        << err.str();

    // The video tour and the house ad, as the video row and the interstitial show them.
    auto window = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
    auto root = std::make_shared<ui::ViewController>();
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    OnboardingManager manager;
    auto tour = std::make_shared<OnboardViewController>(manager.pageItems(OnboardingManager::videoTourPages()),
                                                        manager.appearanceConfiguration(), [] {});
    root->present(tour, false);
    for (size_t page = 0; page < OnboardingManager::videoTourPages().size(); ++page) tour->advance();
    root->dismiss(false);
    auto ad = std::make_shared<KalAdsViewController>();
    ad->currentAd = KalAdData{"ad_math_suite", "https://apps.example.org/mathsuite", "30"};
    root->present(ad, false);
    environment.executor().runUntilIdle();

    const std::set<std::string> asked = ui::Image::namesAskedFor();
    for (const char* expected : {"clv_ui_a", "clv_ui_b", "clv_info", "main_onboarding_1", "main_onboarding_4",
                                 "onboarding_youtube_5", "ad_math_suite_en", "info", "menu", "share", "check",
                                 "arrowBack", "close"})
        EXPECT_TRUE(asked.count(expected)) << expected << " was not asked for: the run missed a screen";
    for (const std::string& name : asked) {
        for (const char* language : {"en", "de"}) {
            std::string missing = missingDrawings(name, language);
            // The house ad is asked for by language ("_en", "_de"): the other one must exist too.
            if (name.size() > 3 && name.substr(name.size() - 3) == "_en")
                missing += missingDrawings(name.substr(0, name.size() - 3) + "_" + language, language);
            EXPECT_EQ(missing, "") << "\"" << name << "\" in " << language;
        }
    }
    // The pages show pictures, never a box standing in for one.
    for (const char* page : {"exp", "manual", "solution", "solution_manual"}) {
        std::ifstream in(pages / (std::string(page) + ".html"));
        std::stringstream html;
        html << in.rdbuf();
        EXPECT_EQ(html.str().find("placeholder missing"), std::string::npos) << page;
        if (std::string(page) != "solution") {
            EXPECT_NE(html.str().find("class=\"picture\""), std::string::npos) << page;
        }
    }
}

// A name the bundle lacks stays visible as such in a page, so that it is noticed.
TEST(BundleImages, ANameWithoutADrawingIsFoundMissing) {
    ScreenTestEnvironment environment;
    EXPECT_NE(missingDrawings("no_such_picture", "en"), "");
    EXPECT_NE(missingDrawings("clv_ui_a@2x", "en"), "") << "a scale is not part of a name";
    EXPECT_EQ(missingDrawings("clv_info", "de"), "");
    EXPECT_EQ(missingDrawings("main_onboarding_1", "de"), "") << "a drawing without words serves every language";
}

}  // namespace
