// What the live page tells a person it turns down, in the application's
// language: a tap on a tab that is not available yet, and a reload of the
// bare address (the page takes the secret out of the address it shows).

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/Value.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/DevTools.h"
#include "tests/web/LiveApplication.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(LiveRefusalsTest, AGermanPageSaysWhatToDoWhereTheAppsToastSitsAndOnAReload) {
    TemporaryDataRoot root("live-refusals");
    const fs::path home = root.path() / "home";
    writeReturningUserPreferences(home);
    LiveApplication calvaro(home, "de");
    ASSERT_FALSE(calvaro.url.empty()) << calvaro.process.said();
    Tab tab;
    ASSERT_TRUE(tab.ok()) << tab.error();
    // A phone held upright, a little narrower than the application's screen.
    tab.call("Emulation.setDeviceMetricsOverride",
             {{"width", 360}, {"height", 740}, {"deviceScaleFactor", 2}, {"mobile", true}});
    ASSERT_TRUE(tab.navigate(calvaro.url));
    ASSERT_TRUE(tab.actThenWaitFor("0", "!!document.getElementById('toolbarRemoveButton')", 30));
    const char* mark = "window.__seen = document.body.dataset.refreshed || '0'; ";
    ASSERT_TRUE(tab.actThenWaitFor(std::string(mark) + "document.getElementById('toolbarRemoveButton').click()",
                                   "(document.body.dataset.refreshed || '0') !== window.__seen && "
                                   "!document.body.dataset.busy"));

    // The Result tab before anything is calculated: the toast tells how to get
    // there, 120 points above the screen's bottom across 90% of its width. It
    // goes after 3 s of the page's time, which a crowded core may spend
    // between two calls: its place is read in the look that finds it shown.
    ASSERT_TRUE(tab.actThenWaitFor(
        "[...document.querySelectorAll('.button.tab')].find(b => b.textContent.trim() === 'Lösung').click()",
        R"((() => {
            const toast = document.getElementById('refusal');
            if (!toast.classList.contains('shown')) return false;
            const k = parseFloat(document.body.dataset.scale), s = document.getElementById('screen').getBoundingClientRect();
            const r = toast.getBoundingClientRect();
            window.__toastPlace = [(r.top - s.top) / k, (r.left - s.left) / k, r.width / k, r.height / k,
                                   getComputedStyle(toast).pointerEvents];
            return true;
        })())"));
    EXPECT_EQ(tab.evaluate("document.getElementById('refusal').textContent"),
              "Zuerst rechnen: Tippe auf ✓, um die Lösung zu sehen");
    const auto place = tab.evaluate("window.__toastPlace");
    ASSERT_TRUE(place.is_array()) << place.dump();
    keepLivePicture(tab, "live-refusal-toast-de");
    EXPECT_NEAR(place[0].get<double>(), 844 - 120, 1) << place.dump();
    EXPECT_NEAR(place[1].get<double>(), 19.5, 1) << place.dump();
    EXPECT_NEAR(place[2].get<double>(), 351, 1) << place.dump();
    EXPECT_GE(place[3].get<double>(), 39) << place.dump();
    EXPECT_EQ(place[4], "none") << "a toast takes no touches";

    // The address the page shows has lost its secret: a reload gets a short
    // German page that fits the phone and says which address opens it.
    ASSERT_EQ(tab.evaluate("location.search"), "");
    tab.call("Page.reload", {{"ignoreCache", true}});
    ASSERT_TRUE(tab.waitForEvent("Page.loadEventFired", 60)) << "no page after the reload";
    keepLivePicture(tab, "live-refused-reload-de");
    EXPECT_EQ(tab.evaluate("document.documentElement.lang"), "de");
    EXPECT_EQ(tab.evaluate("document.querySelector('h1').textContent"), "Calvaro braucht die ganze Adresse");
    EXPECT_EQ(tab.evaluate("document.getElementById('refused').textContent"),
              "Öffne die Adresse, die calvaro beim Start ausgegeben hat – sie endet auf ?secret=…");
    // The address's ending stays on one line, however wide the paragraph:
    // the widths at which its characters sit on more than one line.
    EXPECT_EQ(tab.evaluate(R"((() => {
        const refused = document.getElementById('refused');
        const linesOfTheEnding = () => {
            const tops = [];
            const walker = document.createTreeWalker(refused, NodeFilter.SHOW_TEXT);
            for (let node; (node = walker.nextNode());)
                for (let i = 0; i < node.length; ++i) {
                    const range = document.createRange();
                    range.setStart(node, i);
                    range.setEnd(node, i + 1);
                    tops.push([node.data[i], Math.round(range.getBoundingClientRect().top)]);
                }
            const at = tops.map(t => t[0]).join('').indexOf('?secret=');
            return at < 0 ? 0 : new Set(tops.slice(at).map(t => t[1])).size;
        };
        const broken = [];
        for (let width = 160; width <= 480; width += 2) {
            refused.style.width = width + 'px';
            if (linesOfTheEnding() !== 1) broken.push(width);
        }
        refused.style.width = '';
        return broken;
    })())"),
              nlohmann::json::array());
    EXPECT_EQ(tab.evaluate("document.documentElement.scrollWidth <= window.innerWidth"), true)
        << tab.evaluate("document.documentElement.scrollWidth").dump();
    EXPECT_EQ(tab.evaluate("document.body.textContent.indexOf(" + nlohmann::json(calvaro.url).dump() + ")"), -1)
        << "the page names no secret";
}

}  // namespace
