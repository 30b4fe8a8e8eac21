// What a student sees, in the pictures of the demonstration and of a script
// that plays the screens' corners, in English and German: the drawer's title,
// the selected tab's line, whole formulas, ready video tiles and the history's
// editing controls, read from the pages as Chromium laid them out.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "Calvaro/charts/palette/Palette.h"
#include "Calvaro/screens/SolutionStepTableViewCell.h"
#include "platform/math/MathLabel.h"
#include "platform/ui/Window.h"
#include "platform/web/HtmlPage.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/DevTools.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;

struct Language {
    const char* name;
    const char* lang;
    const char* firstStepTitle;  // as the label holds it, blanks and all
};
const Language kStudentLanguages[] = {{"English", "en_US.UTF-8", "Step 1    Domain of definition"},
                                      {"German", "de_DE.UTF-8", "Schritt 1    Definitionsbereich"}};

// `calvaro` in `language` with `arguments`, its snapshots as pages and
// pictures in `folder`/pages.
void playInLanguage(const Language& language, const fs::path& folder, const std::string& arguments) {
    const std::string command = "env -u LC_ALL -u LC_MESSAGES -u CALVARO_LANGUAGE LANG=" + std::string(language.lang) +
                                " '" + CALVARO_EXECUTABLE + "' --home '" + (folder / "home").string() + "' --pages '" +
                                (folder / "pages").string() + "' --pictures " + arguments + " > '" +
                                (folder / "out.txt").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readFile(folder / "out.txt");
}

nlohmann::json evaluateOn(const fs::path& page, const std::string& expression) {
    Tab& tab = openPage(page);
    return tab.evaluate(expression);
}

// Formulas whose typeset box reaches outside the box they are shown in.
const char* kCutFormulas = R"((() => [...document.querySelectorAll('.math.typeset')].filter(m => m.offsetParent)
    .filter(m => { const b = m.getBoundingClientRect(), k = m.querySelector('.katex-html').getBoundingClientRect();
                   return k.top < b.top - 0.5 || k.bottom > b.bottom + 0.5; })
    .map(m => m.dataset.latex))())";

// The drawer's title: shown, and the topmost thing at its middle.
const char* kDrawerTitle = R"((() => {
    const label = [...document.querySelectorAll('[data-controller="MenuToolbarController"] .label')]
        .find(e => e.textContent.trim() === 'Calvaro');
    if (!label) return 'no title';
    const r = label.querySelector('span').getBoundingClientRect();
    if (r.width < 1 || r.height < 1) return 'not shown';
    // A label lets clicks through: it is made to take them to be found at its point.
    label.style.pointerEvents = 'auto';
    const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
    return hit && label.contains(hit) ? 'shown' : 'covered by ' + (hit ? hit.className : 'nothing');
})())";

// Whether a label shows `text` as it holds it, its blanks kept.
std::string labelShowing(const std::string& text) {
    return "[...document.querySelectorAll('.label span')].some(e => e.innerText === " + nlohmann::json(text).dump() + ")";
}

std::string cssRgb(const ui::Color& color) {
    double red = 0, green = 0, blue = 0, alpha = 0;
    color.getRed(red, green, blue, alpha);
    auto part = [](double v) { return std::to_string(std::lround(v * 255)); };
    return "rgb(" + part(red) + ", " + part(green) + ", " + part(blue) + ")";
}

// The demonstration's drawer shows its title above the menu, the selected
// tab is underlined in the app's pink, every formula is whole, and labels
// keep their blanks.
TEST(StudentScreensTest, DemonstrationShowsTheDrawerTitleThePinkTabLineAndWholeFormulas) {
    for (const auto& language : kStudentLanguages) {
        SCOPED_TRACE(language.name);
        TemporaryDataRoot folder("student-demonstration");
        playInLanguage(language, folder.path(), "");
        const fs::path pages = folder.path() / "pages";
        EXPECT_EQ(evaluateOn(pages / "menu.html", kDrawerTitle), "shown");
        EXPECT_EQ(evaluateOn(pages / "menu.html", labelShowing("  Calvaro  ")), true);
        EXPECT_EQ(evaluateOn(pages / "solution.html", labelShowing(language.firstStepTitle)), true);
        const auto line = evaluateOn(pages / "solution.html",
                                     "getComputedStyle(document.querySelector('.button.tab.selected')).boxShadow");
        ASSERT_TRUE(line.is_string()) << line.dump();
        EXPECT_NE(line.get<std::string>().find(cssRgb(appPink())), std::string::npos) << line.dump();
        EXPECT_EQ(evaluateOn(pages / "solution.html", kCutFormulas), nlohmann::json::array());
    }
}

// A script as a student plays it: an exercise with tall formulas, the history
// in editing mode, and the videos unlocked, scrolled to once their players
// are ready and shared.
TEST(StudentScreensTest, PlayedScreensShowReadyVideosWholeFormulasAndEditingControls) {
    for (const auto& language : kStudentLanguages) {
        SCOPED_TRACE(language.name);
        TemporaryDataRoot folder("student-script");
        std::string script = "alert #dsgvoAcceptButton\n";
        for (int page = 0; page < 5; ++page) script += "tap onboardAdvanceButton\n";
        script +=
            "tap toolbarRemoveButton\ntap aTextField\ntype 3\ntap bTextField\ntype 2\ntap calculateButton\n"
            "tap toolbarRemoveButton\ntap exp\ntap aTextField\ntype 1/2\ntap bTextField\ntype 2\n"
            "tap cTextField\ntype 1\ntap calculateButton\nsnapshot tall\n"
            "tap menuButton\nrow 0.1\ntap historyEditButton\nsnapshot history\ntap historyEditButton\n"
            "row 0.0\ntap calculateButton\n"
            "scroll #solutionTableView 1000000\ntap unlockVideosButton\nalert youtubeDsgvoAcceptButton\n";
        for (int page = 0; page < 5; ++page) script += "tap onboardAdvanceButton\n";
        script += "scroll #solutionTableView 1000000\nwait 1\nsnapshot videos\ntap shareButton\nwait 4\nalert OK\n";
        writeFile(folder.path() / "script.txt", script);
        playInLanguage(language, folder.path(), "--script '" + (folder.path() / "script.txt").string() + "'");
        const fs::path pages = folder.path() / "pages";

        EXPECT_EQ(evaluateOn(pages / "tall.html", kCutFormulas), nlohmann::json::array());
        // The tiles show their players, not the cover of a load, and the
        // row's title is whole.
        const auto videos = evaluateOn(pages / "videos.html", R"((() => {
            const tiles = document.getElementById('videoCollectionView');
            if (!tiles) return 'no tiles';
            // What the row shows of its strip of tiles (a tile beyond its
            // edge is filled only once it is scrolled to).
            const strip = tiles.getBoundingClientRect();
            const shown = e => { const r = e.getBoundingClientRect();
                                 return !!e.offsetParent && r.width > 0 && r.right > strip.left + 1 && r.left < strip.right - 1; };
            const title = tiles.closest('.row').querySelector('.label span');
            return {spinners: [...tiles.querySelectorAll('.spin')].filter(shown).length,
                    players: [...tiles.querySelectorAll('.player')].filter(shown).map(p => p.dataset.video),
                    titleWhole: title.scrollWidth <= title.clientWidth + 1 && title.scrollHeight <= title.clientHeight + 1};
        })())");
        ASSERT_TRUE(videos.is_object()) << videos.dump();
        EXPECT_EQ(videos["spinners"], 0) << videos.dump();
        EXPECT_FALSE(videos["players"].empty()) << videos.dump();
        EXPECT_EQ(videos["titleWhole"], true) << videos.dump();
        // The shared picture ends with the video row: its first tile shows
        // the dark player, not the light cover of a load.
        std::vector<fs::path> shared;
        for (const auto& entry : fs::directory_iterator(folder.path() / "home" / "Shared")) shared.push_back(entry.path());
        ASSERT_EQ(shared.size(), 1u);
        const auto [width, height] = pngSize(shared[0]);
        const double scale = width / 390.0, tile = 0.95 * (390 - 44);
        // A point of the tile away from its play mark and name.
        const auto inside = pngPixel(shared[0], static_cast<uint32_t>(tile / 6 * scale),
                                     static_cast<uint32_t>(height - (390 - 44 - tile / 4) * scale));
        ASSERT_TRUE(inside);
        EXPECT_LT((*inside)[0] + (*inside)[1] + (*inside)[2], 3 * 60) << "the tile is light: a cover";
        // Each history row shows its delete control and its reorder handle,
        // beside (not over) its formula.
        const auto rows = evaluateOn(pages / "history.html", R"((() =>
            [...document.querySelectorAll('#historyTableView .row')].map(row => {
                const remove = row.querySelector('.edit-delete'), move = row.querySelector('.edit-move');
                const formula = row.querySelector('.math').getBoundingClientRect();
                return !!remove && !!move && remove.getBoundingClientRect().right <= formula.left &&
                       move.getBoundingClientRect().left >= formula.right;
            }))())");
        EXPECT_EQ(rows, nlohmann::json::array({true, true, true})) << "the example and the two exercises";
    }
}

// Every step formula of the golden exercises, in a label as high as worked
// out for it, is drawn whole, and no label is much higher than needed.
TEST(StudentScreensTest, EveryGoldenFormulaFitsTheHeightWorkedOutForIt) {
    resetSharedState();
    std::vector<std::string> latex;
    for (const auto& entry : fs::directory_iterator(fs::path(CALVARO_GOLDEN_DIR) / "engine")) {
        std::istringstream lines(readFile(entry.path()));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("latex: ", 0) == 0) latex.push_back(normalizeLatexStep(line.substr(std::strlen("latex: "))));
    }
    ASSERT_GT(latex.size(), 100u);
    TemporaryDataRoot folder("golden-heights");
    // In pages of a few hundred, each laid out once with all its fonts.
    constexpr size_t kHeightsPerPage = 250;
    size_t pages = 0, checked = 0;
    for (size_t from = 0; from < latex.size(); from += kHeightsPerPage, ++pages) {
        auto window = std::make_shared<ui::Window>(ui::Rect(0, 0, 900, 844));
        auto controller = std::make_shared<ui::ViewController>();
        window->setRootViewController(controller);
        window->makeKeyAndVisible();
        double y = 0;
        const size_t to = std::min(latex.size(), from + kHeightsPerPage);
        for (size_t i = from; i < to; ++i) {
            const double height = math::MathLabel::typesetHeight(latex[i], SolutionStepTableViewCell::formulaFontSize,
                                                                 math::MathLabelMode::display);
            auto label = std::make_shared<math::MathLabel>(ui::Rect(0, y, 900, height));
            label->setFontSize(SolutionStepTableViewCell::formulaFontSize);
            label->setLatex(latex[i]);
            controller->view()->addSubview(label);
            y += height;
        }
        const fs::path page = folder.path() / ("heights-" + std::to_string(pages) + ".html");
        writeFile(page, withScreenUnlaid(web::HtmlPage::ofWindow(*window)));
        Tab& tab = openPage(page);
        layOutWithEveryFont(tab);
        const auto found = tab.evaluate(std::string("({cut: ") + kCutFormulas + R"(, roomy: (() => [...document.querySelectorAll('.math.typeset')]
            .filter(m => m.getBoundingClientRect().height > m.querySelector('.katex-html').getBoundingClientRect().height + 20)
            .map(m => m.dataset.latex))(), typeset: document.querySelectorAll('.math.typeset').length}))");
        SCOPED_TRACE("page " + std::to_string(pages));
        ASSERT_TRUE(found.is_object() && found.contains("cut")) << found.dump();
        EXPECT_EQ(found["cut"], nlohmann::json::array());
        EXPECT_EQ(found["roomy"], nlohmann::json::array()) << "no formula gets more than 20 points of room";
        EXPECT_EQ(found["typeset"], to - from);
        checked += to - from;
    }
    EXPECT_EQ(checked, latex.size());
    resetSharedState();
}

}  // namespace
