// Charts as the page draws them with the chart library, read back through
// the library's own interface.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <cstdlib>
#include <numbers>

#include "Calvaro/charts/SplineChartManager.h"
#include "Calvaro/engine/FunctionChartDescription.h"
#include "platform/foundation/Value.h"
#include "platform/ui/Traits.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "platform/web/HtmlPage.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/DevTools.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;

class ChartPageTest : public SharedStateTest {
  protected:
    TemporaryDataRoot folder{"charts"};
};

// For every series of the first chart of the page: its name, colour, how
// many points the library placed and each placed point turned back into
// values through the chart's scales; and how many canvas pixels carry each
// series' colour.
const char* kReadBack = R"JS(
(function(){
  var host=document.querySelector('.chart.drawn');
  if(!host) return {error:'no drawn chart: '+(document.querySelector('.chart')||{dataset:{}}).dataset.chartError};
  var canvas=host.querySelector('canvas'), chart=Chart.getChart(canvas);
  var pixels=canvas.getContext('2d').getImageData(0,0,canvas.width,canvas.height).data;
  function near(hex){
    var r=parseInt(hex.substr(1,2),16), g=parseInt(hex.substr(3,2),16), b=parseInt(hex.substr(5,2),16), n=0;
    for(var i=0;i<pixels.length;i+=4)
      if(Math.abs(pixels[i]-r)+Math.abs(pixels[i+1]-g)+Math.abs(pixels[i+2]-b)<60&&pixels[i+3]>200) n++;
    return n;
  }
  return {failures:document.body.dataset.chartFailures,
    series:chart.data.datasets.map(function(ds,i){
      var xs=chart.scales.x, ys=chart.scales.y;
      return {name:ds.label, color:ds.borderColor, pixels:near(ds.borderColor),
              points:chart.getDatasetMeta(i).data.map(function(el){
                return [xs.getValueForPixel(el.x), ys.getValueForPixel(el.y)];})};
    })};
})()
)JS";

// A picture of the page's first chart (the clip is in document coordinates),
// kept in the folder CALVARO_TEST_PICTURES names, for looking at.
void keepPicture(Tab& tab, const std::string& name) {
    const char* keep = std::getenv("CALVARO_TEST_PICTURES");
    if (!keep) return;
    const auto box = tab.evaluate(
        "(function(){var h=document.querySelector('.chart');h.scrollIntoView();"
        "var r=h.getBoundingClientRect();return {x:r.left+scrollX,y:r.top+scrollY,"
        "width:r.width,height:r.height,scale:1};})()");
    const auto png =
        foundation::base64Decode(tab.call("Page.captureScreenshot", {{"clip", box}}).value("data", ""));
    ASSERT_TRUE(png && !png->empty()) << box.dump();
    writeFile(fs::path(keep) / name, std::string(png->begin(), png->end()));
}

TEST_F(ChartPageTest, SolutionScreenPlotsTheFunctionAndItsInverse) {
    const fs::path pages = folder.path() / "pages";
    const std::string command = std::string("'") + CALVARO_EXECUTABLE + "' --home '" +
                                (folder.path() / "home").string() + "' --pages '" + pages.string() + "' > '" +
                                (folder.path() / "out.txt").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readFile(folder.path() / "out.txt");
    Tab& tab = openPage(pages / "solution.html");
    const auto result = tab.evaluate(kReadBack);
    ASSERT_FALSE(result.contains("error")) << result.dump();
    EXPECT_EQ(result["failures"], "0");
    keepPicture(tab, "solution_chart.png");

    // The demonstration's exercise, f(x) = 2·log_3(2x - 1) + 1, as the calculator describes it.
    std::vector<DigitPtr> inputs;
    for (const double value : {3.0, 2.0, -1.0, 1.0, 2.0}) inputs.push_back(Digit::make(value, 1.0));
    inputs.insert(inputs.begin() + 4, Digit::make(std::nullopt, 1.0));  // x stays open
    const auto expected = FunctionChartDescription(inputs).makeChartData(0).at(0);
    ASSERT_EQ(result["series"].size(), expected.size());
    for (size_t s = 0; s < expected.size(); ++s) {
        const auto& series = result["series"][s];
        EXPECT_EQ(series["name"], s == 0 ? "Log" : "Inverse func");
        EXPECT_EQ(series["color"], expected[s]->chartColorHexCode);
        EXPECT_GT(series["pixels"].get<int>(), 100) << "the curve is on the canvas in its colour";
        const auto& plotted = series["points"];
        ASSERT_EQ(plotted.size(), expected[s]->dataSet.size());
        for (size_t i = 0; i < plotted.size(); ++i)
            for (size_t k = 0; k < 2; ++k)
                ASSERT_NEAR(plotted[i][k].get<double>(), expected[s]->dataSet[i][k], 1e-9) << i;
    }
}

// π labels and tooltips are made in the page by the functions and formats
// the options carry (here in dark style).
TEST_F(ChartPageTest, PiLabelsAndTooltipsOfATrigonometricChart) {
    ui::TraitCollection::setUserInterfaceStyle(ui::InterfaceStyle::dark);
    auto window = std::make_shared<ui::Window>();
    window->setRootViewController(std::make_shared<ui::ViewController>());
    window->makeKeyAndVisible();
    TrigonometricChartData cosine;
    cosine.type = TrigonometricType::cos;
    cosine.lengthOfGraph = cosine.periodLength = 2 * std::numbers::pi;
    cosine.offset = -2 * std::numbers::pi;
    cosine.amplitude = 1234;
    window->rootViewController()->view()->addSubview(
        SplineChartManager::makeTrigonometricChart(cosine, ui::Rect(0, 60, 390, 300)));
    const fs::path page = folder.path() / "cosine.html";
    writeFile(page, web::HtmlPage::ofWindow(*window));
    Tab& tab = openPage(page);
    keepPicture(tab, "cosine_chart.png");
    const auto result = tab.evaluate(
        "(function(){var c=Chart.getChart(document.querySelector('.chart canvas'));"
        "var tip=c.options.plugins.tooltip.callbacks, item={parsed:{x:1.5,y:1234.5}};"
        "return {labels:c.scales.x.ticks.map(function(t){return t.label;}),"
        "header:tip.title([item]),line:tip.label(item)};})()");
    // From -2π over 4π in steps of 1.5705, thousands separated by the options' separator.
    EXPECT_EQ(
        result["labels"],
        nlohmann::json::parse(R"(["-5π/2","-2π","-3π/2","-π","-π/2","0","π/2","π","3π/2","2π","5π/2"])"));
    EXPECT_EQ(result["header"], "x: 1.5");
    EXPECT_EQ(result["line"], "cos(x): 1,234.5");
}

}  // namespace
