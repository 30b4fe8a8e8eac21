// The screens as a browser shows them: pages of view trees and of formulas,
// opened in headless Chromium, read back from its DOM.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "platform/math/MathLabel.h"
#include "platform/ui/Application.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"
#include "platform/ui/ViewController.h"
#include "platform/web/Chromium.h"
#include "platform/web/HtmlPage.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/DevTools.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;

class NumberRows : public ui::TableViewDataSource {
  public:
    int64_t count = 0;
    int64_t numberOfRowsInSection(ui::TableView&, int64_t) override { return count; }
    std::shared_ptr<ui::TableViewCell> cellForRowAt(ui::TableView& table, const ui::IndexPath& ip) override {
        auto cell = table.dequeueReusableCell("row", ip);
        cell->textLabel().setFrame(ui::Rect(16, 0, 300, 44));
        cell->textLabel().setText("row " + std::to_string(ip.row));
        return cell;
    }
};

// A screen of every kind of view the renderer draws by kind.
class Everything : public ui::ViewController {
  public:
    NumberRows rows;
    void loadView() override {
        ui::ViewController::loadView();
        ui::View& root = *view();
        auto label = std::make_shared<ui::Label>(ui::Rect(20, 60, 200, 24));
        label->setText("Fill in <your> numbers & go");
        label->setAccessibilityIdentifier("plainLabel");
        root.addSubview(label);
        auto hidden = std::make_shared<ui::View>(ui::Rect(0, 0, 50, 50));
        hidden->setHidden(true);
        hidden->setAccessibilityIdentifier("hiddenView");
        auto inside = std::make_shared<ui::Label>(ui::Rect(0, 0, 50, 20));
        inside->setText("never seen");
        hidden->addSubview(inside);
        root.addSubview(hidden);
        auto field = std::make_shared<ui::TextField>(ui::Rect(20, 90, 300, 36));
        field->setAccessibilityIdentifier("aTextField");
        field->setText("0");
        field->showError("The base must not be 0");
        root.addSubview(field);
        auto image = std::make_shared<ui::ImageView>(ui::Image::named("clv_ui_a"));
        image->setFrame(ui::Rect(20, 140, 200, 40));
        root.addSubview(image);
        auto good = std::make_shared<math::MathLabel>(ui::Rect(20, 190, 350, 50));
        good->setLatex("f(x) = 2 \\cdot \\log_{3}\\left(2 x -1\\right) + 1");
        good->setAccessibilityIdentifier("goodFormula");
        root.addSubview(good);
        auto bad = std::make_shared<math::MathLabel>(ui::Rect(20, 240, 350, 50));
        bad->setLatex("\\frac{1}{");
        bad->setAccessibilityIdentifier("badFormula");
        root.addSubview(bad);
        auto faded = std::make_shared<ui::View>(ui::Rect(0, 300, 390, 10));
        faded->setAlpha(0.5);
        faded->setBackgroundColor(ui::Color::red());
        faded->layer().cornerRadius = 4;
        faded->setAccessibilityIdentifier("fadedView");
        root.addSubview(faded);
        table = std::make_shared<ui::TableView>(ui::Rect(0, 320, 390, 300));
        table->registerCell("row",
                            [](const std::string& id) { return std::make_shared<ui::TableViewCell>(id); });
        rows.count = 60;  // 2640 points of rows in a table 300 high
        table->setDataSource(&rows);
        table->setAccessibilityIdentifier("numbers");
        root.addSubview(table);
    }
    std::shared_ptr<ui::TableView> table;
};

class WebPageTest : public SharedStateTest {
  protected:
    TemporaryDataRoot folder{"web"};
};

const Element* byId(const std::vector<Element>& all, const std::string& id) {
    for (const auto& e : all)
        if (e.get("id") == id) return &e;
    return nullptr;
}

TEST_F(WebPageTest, ViewTreeInChromiumHasEveryRowTheRightFormulasAndItsFrames) {
    auto controller = std::make_shared<Everything>();
    auto window = std::make_shared<ui::Window>();
    window->setRootViewController(controller);
    window->makeKeyAndVisible();
    controller->table->setContentOffset({0, 440});  // scrolled by ten rows
    const std::string before = controller->table->cellForRow({0, 10})->textLabel().text();

    const fs::path page = folder.path() / "everything.html";
    writeFile(page, web::HtmlPage::ofWindow(*window));
    // Drawing walks the whole table and puts it back as it was.
    EXPECT_EQ(controller->table->contentOffset().y, 440);
    ASSERT_TRUE(controller->table->cellForRow({0, 10}));
    EXPECT_EQ(controller->table->cellForRow({0, 10})->textLabel().text(), before);

    const std::string dom = domOf(page, true);
    const auto all = elements(dom);
    std::set<std::string> rows;
    for (const auto& e : all)
        if (e.has("data-row")) rows.insert(e.get("data-row"));
    EXPECT_EQ(rows.size(), 60u) << "every row is in the page, not only those on the screen";
    EXPECT_TRUE(rows.count("0.59"));
    EXPECT_NE(dom.find("row 59"), std::string::npos);

    const Element* good = byId(all, "goodFormula");
    const Element* bad = byId(all, "badFormula");
    ASSERT_TRUE(good && bad);
    EXPECT_TRUE(good->hasClass("typeset"));
    EXPECT_EQ(good->get("data-latex"), "f(x) = 2 \\cdot \\log_{3}\\left(2 x -1\\right) + 1");
    EXPECT_TRUE(bad->hasClass("katex-failed")) << "a refused formula is marked, as red source";
    EXPECT_FALSE(bad->get("data-katex-error").empty());
    EXPECT_NE(dom.find("data-katex-failures=\"1\""), std::string::npos);

    const Element* hidden = byId(all, "hiddenView");
    ASSERT_TRUE(hidden);
    EXPECT_EQ(hidden->get("data-box"), "none");
    const Element* faded = byId(all, "fadedView");
    ASSERT_TRUE(faded);
    EXPECT_NE(faded->get("style").find("opacity:0.5"), std::string::npos);
    EXPECT_NE(faded->get("style").find("border-radius:4px"), std::string::npos);
    const Element* field = byId(all, "aTextField");
    ASSERT_TRUE(field);
    EXPECT_TRUE(field->hasClass("error"));
    EXPECT_NE(dom.find("The base must not be 0"), std::string::npos);
    EXPECT_NE(dom.find("Fill in &lt;your&gt; numbers &amp; go"), std::string::npos) << "text is escaped";
    EXPECT_NE(dom.find("class=\"picture\" alt=\"\" data-image=\"clv_ui_a\""), std::string::npos)
        << "the bundle's picture is shown";

    size_t compared = 0;
    for (const auto& line : framesOffByMoreThanAPoint(dom, compared)) ADD_FAILURE() << line;
    EXPECT_GT(compared, 60u);
}

TEST_F(WebPageTest, GoldenExercisesTypesetWithoutKatexErrors) {
    std::vector<std::string> latex;
    for (const auto& entry : fs::directory_iterator(fs::path(CALVARO_GOLDEN_DIR) / "engine")) {
        std::istringstream lines(readFile(entry.path()));
        for (std::string line; std::getline(lines, line);)
            for (const char* key : {"latex: ", "formula: "})
                if (line.rfind(key, 0) == 0) latex.push_back(line.substr(std::strlen(key)));
    }
    ASSERT_GT(latex.size(), 100u);
    // KaTeX refuses a formula as it builds it, before anything is laid out:
    // all of them in one page cost the building alone.
    const fs::path page = folder.path() / "formulas.html";
    writeFile(page, withScreenUnlaid(web::HtmlPage::ofFormulas(latex)));
    Tab& tab = openPage(page);
    const auto found = tab.evaluate(R"((() => {
        const refused = [];
        let shown = 0, typeset = 0;
        document.querySelectorAll('[data-index]').forEach(e => {
            ++shown;
            if (e.classList.contains('typeset')) ++typeset;
            else refused.push(e.dataset.latex + ': ' + e.dataset.katexError);
        });
        return {ready: document.body.dataset.ready === '1', shown, typeset, refused};
    })())");
    ASSERT_TRUE(found.is_object() && found.contains("refused")) << found.dump().substr(0, 500);
    EXPECT_EQ(found["ready"], true) << "the page's script did not run";
    for (const auto& refusal : found["refused"]) ADD_FAILURE() << "KaTeX refuses " << refusal.get<std::string>();
    EXPECT_EQ(found["shown"], latex.size());
    EXPECT_EQ(found["typeset"], latex.size());
}

// A colour stays inside its group: what follows "\color{..}{..}" keeps the
// formula's own colour, in the steps as the solution writes them.
TEST_F(WebPageTest, ColourStaysInsideItsGroup) {
    const fs::path page = folder.path() / "colour.html";
    writeFile(page, web::HtmlPage::ofFormulas({"2\\cdot \\log_{3}\\;\\color{#ff3333}{\\left(2\\cdot x -1\\right)} + 1",
                                                "\\;\\color{#009900}{2\\cdot x -1} > 0"}));
    Tab& tab = openPage(page);
    // The text drawn in each colour: the red and green groups only.
    auto coloured = tab.evaluate(R"((() => {
        const out = {};
        document.querySelectorAll('.formula .katex-html *').forEach(e => {
            if (e.children.length) return;
            const c = getComputedStyle(e).color;
            out[c] = (out[c] || '') + e.textContent;
        });
        return out;
    })())");
    ASSERT_TRUE(coloured.is_object()) << coloured.dump();
    EXPECT_EQ(coloured.value("rgb(255, 51, 51)", ""), "(2\u22c5x\u22121)") << coloured.dump();
    EXPECT_EQ(coloured.value("rgb(0, 153, 0)", ""), "2\u22c5x\u22121") << coloured.dump();
}

// The demonstration on a fresh data root, its snapshots as pages and
// pictures: every formula of the Solution screen typesets, and every page
// agrees with the view tree's frames.
TEST_F(WebPageTest, DemonstrationPagesAndPictures) {
    const fs::path pages = folder.path() / "pages";
    const std::string command = std::string("'") + CALVARO_EXECUTABLE + "' --home '" +
                                (folder.path() / "home").string() + "' --pages '" + pages.string() +
                                "' --pictures > '" + (folder.path() / "out.txt").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readFile(folder.path() / "out.txt");
    const std::vector<std::string> names = {"start", "onboarding", "calculate", "input", "solution", "menu"};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(fs::exists(pages / (name + ".txt")));
        EXPECT_NE(readFile(folder.path() / "out.txt").find(readFile(pages / (name + ".txt"))),
                  std::string::npos);
        EXPECT_EQ(pngSize(pages / (name + ".png")), std::make_pair(780u, 1688u))
            << "390x844 points at scale 2";
        const std::string dom = domOf(pages / (name + ".html"), true);
        size_t compared = 0;
        for (const auto& line : framesOffByMoreThanAPoint(dom, compared)) ADD_FAILURE() << line;
        EXPECT_GT(compared, 10u);
        if (name != "solution") continue;
        size_t formulas = 0;
        for (const auto& e : elements(dom)) {
            if (!e.hasClass("math") || e.hasClass("empty")) continue;
            ++formulas;
            EXPECT_TRUE(e.hasClass("typeset")) << e.get("data-latex") << ": " << e.get("data-katex-error");
        }
        EXPECT_GT(formulas, 20u) << "every step of the solution is in the page";
        EXPECT_NE(dom.find("data-katex-failures=\"0\""), std::string::npos);
    }
}

// The same screen in both styles: the system colours resolve per style.
TEST_F(WebPageTest, LightAndDarkStyles) {
    auto window = std::make_shared<ui::Window>();
    auto controller = std::make_shared<ui::ViewController>();
    window->setRootViewController(controller);
    window->makeKeyAndVisible();
    auto label = std::make_shared<ui::Label>(ui::Rect(0, 0, 100, 20));
    label->setText("x");
    controller->view()->addSubview(label);
    const std::string light = web::HtmlPage::ofWindow(*window);
    ui::TraitCollection::setUserInterfaceStyle(ui::InterfaceStyle::dark);
    const std::string dark = web::HtmlPage::ofWindow(*window);
    EXPECT_NE(light.find("<body class=\"light\""), std::string::npos);
    EXPECT_NE(dark.find("<body class=\"dark\""), std::string::npos);
    EXPECT_NE(light.find("background:rgba(255,255,255,1);color:rgba(0,0,0,1)"), std::string::npos);
    EXPECT_NE(dark.find("background:rgba(0,0,0,1);color:rgba(255,255,255,1)"), std::string::npos);
    EXPECT_NE(dark.find("color:rgba(255,255,255,1);font-size:17px"), std::string::npos)
        << "the label's text is light";
}

TEST_F(WebPageTest, MissingChromiumIsAnError) {
    ::setenv("CALVARO_CHROMIUM", (folder.path() / "no-chromium").c_str(), 1);
    std::string dom, error;
    EXPECT_FALSE(web::Chromium::dumpDom("about:blank", dom, error));
    ::unsetenv("CALVARO_CHROMIUM");
    EXPECT_FALSE(error.empty());
}

}  // namespace
