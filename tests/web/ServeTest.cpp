// `calvaro serve` used as a person uses it, in a real headless Chromium
// driven over its DevTools protocol.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/DevTools.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;

// A `calvaro serve --port 0` process on a data root.
class LiveCalvaro {
  public:
    explicit LiveCalvaro(const fs::path& home) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> args = {CALVARO_EXECUTABLE, "serve", "--port", "0", "--home", home.string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(out[1], 1);
            dup2(null, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        const std::string marker = "live at http://127.0.0.1:";
        while (said_.find(marker) == std::string::npos || said_.find('/', said_.find(marker) + marker.size()) == std::string::npos)
            if (!readSome(30)) return;
        port_ = std::atoi(said_.c_str() + said_.find(marker) + marker.size());
    }
    ~LiveCalvaro() {
        if (pid_ > 0) end();
        if (out_ >= 0) close(out_);
    }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    // Ctrl-C, then the exit status.
    int end() {
        kill(pid_, SIGINT);
        while (readSome(60)) {
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& said() const { return said_; }

  private:
    bool readSome(int seconds) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, seconds * 1000) <= 0) return false;
        char buffer[4096];
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) return false;
        said_.append(buffer, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = 0;
    std::string said_;
};

// Clicks the first element `selector` picks (or the button showing `text`)
// and waits for the screen that shows the result: the live page puts in a
// newer screen in place (counted in data-refreshed) once its actions are done.
const char* kMark = "window.__seen = document.body.dataset.refreshed || '0'; ";
std::string clickSelector(const std::string& selector) {
    return kMark + std::string("document.querySelector(") + nlohmann::json(selector).dump() + ").click()";
}
std::string clickKey(const std::string& key) {
    return kMark + std::string("[...document.querySelectorAll('.button')].find(b => b.textContent.trim() === ") +
           nlohmann::json(key).dump() + ").click()";
}
const char* kNewPage = "(document.body.dataset.refreshed || '0') !== window.__seen && !document.body.dataset.busy";

std::string fieldText(Tab& tab, const std::string& id) {
    auto value = tab.evaluate("document.getElementById('" + id + "').textContent");
    return value.is_string() ? value.get<std::string>() : value.dump();
}

// Accepts the consent, walks the tour and puts off the rating prompt.
void walkIn(Tab& tab) {
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#dsgvoAcceptButton"), "!document.getElementById('dsgvoAcceptButton')"));
    for (int page = 0; page < 8 && tab.evaluate("!!document.getElementById('onboardAdvanceButton')") == true; ++page) {
        ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#onboardAdvanceButton"), kNewPage));
    }
    if (tab.evaluate("!!document.getElementById('cancelRatingButton')") == true) {
        ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#cancelRatingButton"), kNewPage));
    }
    ASSERT_EQ(tab.evaluate("!!document.getElementById('calculateButton')"), true);
}

// Keys pressed on the computer's keyboard, one every `interval` milliseconds
// of the browser's clock, as a fast typist presses them.
std::string pressKeys(const std::string& keys, int interval) {
    return kMark + std::string("new Promise(done => { const keys = ") + nlohmann::json(keys).dump() +
           "; let i = 0; const next = () => { document.dispatchEvent(new KeyboardEvent('keydown', "
           "{key: keys[i], bubbles: true, cancelable: true})); if (++i < keys.length) setTimeout(next, " +
           std::to_string(interval) + "); else done(true); }; next(); })";
}

TEST(ServeTest, ExerciseTypedByClicksSolvedScrolledAndKeptOverARestart) {
    TemporaryDataRoot root("serve");
    const fs::path home = root.path() / "home";
    {
        LiveCalvaro calvaro(home);
        ASSERT_GT(calvaro.port(), 0) << calvaro.said();
        Tab tab;
        ASSERT_TRUE(tab.ok()) << tab.error();
        ASSERT_TRUE(tab.navigate(calvaro.url()));

        ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#dsgvoAcceptButton"),
                                       "!document.getElementById('dsgvoAcceptButton')"))
            << "the consent is accepted";
        for (int page = 0; page < 8 && tab.evaluate("!!document.getElementById('onboardAdvanceButton')") == true; ++page)
            ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#onboardAdvanceButton"), kNewPage));
        EXPECT_EQ(tab.evaluate("!!document.getElementById('onboardAdvanceButton')"), false) << "the tour is walked";
        if (tab.evaluate("!!document.getElementById('cancelRatingButton')") == true) {
            ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#cancelRatingButton"), kNewPage));
        }

        ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#toolbarRemoveButton"), kNewPage));
        const std::vector<std::pair<std::string, std::vector<std::string>>> typed = {
            {"aTextField", {"3"}}, {"bTextField", {"2"}}, {"cTextField", {"1", "-"}}, {"dTextField", {"1"}},
            {"zTextField", {"2"}}};
        for (const auto& [field, keys] : typed) {
            ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#" + field),
                                           "document.getElementById('" + field + "').classList.contains('focused')"));
            for (const auto& key : keys) ASSERT_TRUE(tab.actThenWaitFor(clickKey(key), kNewPage)) << key;
        }
        EXPECT_EQ(fieldText(tab, "aTextField"), "3");
        EXPECT_EQ(fieldText(tab, "cTextField"), "-1");
        EXPECT_EQ(fieldText(tab, "zTextField"), "2");

        ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#calculateButton"),
                                       "document.querySelectorAll('.math.typeset').length > 10"))
            << "Calculate shows the typeset steps";
        auto steps = tab.evaluate("[...document.querySelectorAll('.row .math')].map(e => e.dataset.latex || '')");
        ASSERT_TRUE(steps.is_array()) << steps.dump();
        EXPECT_GT(steps.size(), 20u);
        EXPECT_NE(std::find(steps.begin(), steps.end(), "x > \\frac{1}{2}"), steps.end()) << steps.dump();
        EXPECT_EQ(tab.evaluate("document.querySelectorAll('.katex-failed').length"), 0);

        // The last step lies below the screen; scrolling the table brings it in.
        const std::string lastRowShown = R"((() => {
            const rows = [...document.querySelectorAll('[data-controller="SolutionViewController"] .row')];
            const last = rows[rows.length - 1], box = last.closest('.scroll-content').parentElement;
            const inside = () => { const r = last.firstElementChild.getBoundingClientRect(), b = box.getBoundingClientRect();
                                   return r.top >= b.top - 1 && r.bottom <= b.bottom + 1; };
            const before = inside();
            box.scrollTop = box.scrollHeight;
            return [before, inside()];
        })())";
        EXPECT_EQ(tab.evaluate(lastRowShown), nlohmann::json::array({false, true}));

        // A malformed request is refused and changes nothing.
        auto answer = tab.evaluate(R"((async () => {
            const before = await (await fetch('/state')).text();
            const refused = await fetch('/action', {method: 'POST', body: 'tapp calculateButton'});
            const row = await fetch('/action', {method: 'POST', body: 'row x.1'});
            const after = await (await fetch('/state')).text();
            return [refused.status, row.status, before === after];
        })())");
        EXPECT_EQ(answer, nlohmann::json::array({400, 400, true}));

        EXPECT_EQ(calvaro.end(), 0) << calvaro.said();
        EXPECT_NE(calvaro.said().find("calvaro: ended"), std::string::npos);
    }
    {
        LiveCalvaro again(home);
        ASSERT_GT(again.port(), 0) << again.said();
        Tab tab;
        ASSERT_TRUE(tab.ok()) << tab.error();
        ASSERT_TRUE(tab.navigate(again.url()));
        EXPECT_EQ(tab.evaluate("!!document.getElementById('dsgvoAcceptButton') || "
                               "!!document.getElementById('onboardAdvanceButton')"),
                  false)
            << "consent and tour are remembered";
        EXPECT_EQ(tab.evaluate("!!document.getElementById('calculateButton')"), true);
        EXPECT_EQ(again.end(), 0);
    }
    const std::string preferences = readFile(home / "Library" / "Preferences" / "org.calvaro.Calvaro.plist");
    const size_t history = preferences.find("<key>Calculations</key>");
    ASSERT_NE(history, std::string::npos);
    EXPECT_NE(preferences.find("f(x) = 2 \\cdot \\log_{3}(2 x + -1) + 1", history), std::string::npos)
        << "the exercise is still in the history after the restart";
}

// 40 keys at 20 a second all arrive, in order, in the field they were typed
// into; a refused tap says why on the page; a control below the fold is
// reached once the page is scrolled there.
TEST(ServeTest, FastKeysArriveInOrderRefusalsShowAndScrolledRowsAnswer) {
    TemporaryDataRoot root("serve-keys");
    LiveCalvaro calvaro(root.path() / "home");
    ASSERT_GT(calvaro.port(), 0) << calvaro.said();
    Tab tab;
    ASSERT_TRUE(tab.ok()) << tab.error();
    ASSERT_TRUE(tab.navigate(calvaro.url()));
    walkIn(tab);
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#toolbarRemoveButton"), kNewPage));

    // The Result tab is off until something is solved: the reason shows.
    ASSERT_TRUE(tab.actThenWaitFor(
        kMark + std::string("[...document.querySelectorAll('.button.tab')].find(b => b.textContent.trim() === 'Result').click()"),
        "document.getElementById('refusal').classList.contains('shown')"));
    EXPECT_EQ(tab.evaluate("document.getElementById('refusal').textContent"), "\"Result\" is disabled");
    EXPECT_TRUE(tab.actThenWaitFor("0", "!document.getElementById('refusal').classList.contains('shown')", 6))
        << "the reason goes after a while";

    const std::string forty = "1234567890123456789012345678901234567890";
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#aTextField"),
                                   "document.getElementById('aTextField').classList.contains('focused')"));
    ASSERT_EQ(tab.evaluate(pressKeys(forty, 50)), true);
    EXPECT_TRUE(tab.actThenWaitFor("0", "document.getElementById('aTextField').textContent === " +
                                            nlohmann::json(forty).dump() + " && !document.body.dataset.busy",
                                   20))
        << fieldText(tab, "aTextField");
    EXPECT_EQ(fieldText(tab, "aTextField"), forty) << "every key, in order, in the field it was typed into";
    EXPECT_EQ(tab.evaluate("document.body.dataset.lastError || ''"), "\"Result\" is disabled") << "no key was refused";

    // A small exercise, typed as fast, solved; its video row lies below the fold.
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#toolbarRemoveButton"), kNewPage));
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#aTextField"), "document.getElementById('aTextField').classList.contains('focused')"));
    ASSERT_EQ(tab.evaluate(pressKeys("3", 50)), true);
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#bTextField"), "document.getElementById('bTextField').classList.contains('focused')"));
    ASSERT_EQ(tab.evaluate(pressKeys("2", 50)), true);
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#calculateButton"), "!!document.getElementById('solutionTableView') && "
                                   "document.querySelectorAll('.math.typeset').length > 10"));
    EXPECT_EQ(tab.evaluate("fetch('/action', {method: 'POST', body: 'tap #unlockVideosButton'}).then(r => r.status)"), 409)
        << "the row is not on the screen yet";
    ASSERT_TRUE(tab.actThenWaitFor(kMark + std::string("const box = document.getElementById('solutionTableView'); "
                                                        "box.scrollTop = box.scrollHeight"),
                                   "parseFloat(document.getElementById('solutionTableView').firstElementChild.dataset.scrollTop) > 0 "
                                   "&& !document.body.dataset.busy"))
        << "the table's view follows the page's scrolling";
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#unlockVideosButton"), "!!document.getElementById('youtubeDsgvoAcceptButton')"))
        << tab.evaluate("document.body.dataset.lastError || ''");
    EXPECT_EQ(calvaro.end(), 0);
}

// Sharing from the browser: the OK tap is answered at once, the picture is
// made meanwhile and offered as a download of a real PNG.
TEST(ServeTest, SharedPictureIsOfferedAsADownload) {
    TemporaryDataRoot root("serve-share");
    LiveCalvaro calvaro(root.path() / "home");
    ASSERT_GT(calvaro.port(), 0) << calvaro.said();
    Tab tab;
    ASSERT_TRUE(tab.ok()) << tab.error();
    ASSERT_TRUE(tab.navigate(calvaro.url()));
    walkIn(tab);
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#calculateButton"), "!!document.getElementById('shareButton') && "
                                   "document.getElementById('shareButton').offsetParent !== null"));
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#shareButton"), "!!document.querySelector('.alert-panel')"));
    auto okTap = tab.evaluate(R"((async () => {
        const started = performance.now();
        const answer = await fetch('/action', {method: 'POST', body: 'tap OK'});
        return [answer.status, performance.now() - started];
    })())");
    ASSERT_TRUE(okTap.is_array()) << okTap.dump();
    EXPECT_EQ(okTap[0], 200);
    EXPECT_LT(okTap[1].get<double>(), 2000) << "the tap does not wait for the picture";
    ASSERT_TRUE(tab.actThenWaitFor("0", "!!document.querySelector('.share-sheet a.download')", 60))
        << "the sheet offers the picture once it is made";
    auto download = tab.evaluate(R"((async () => {
        const link = document.querySelector('.share-sheet a.download');
        const answer = await fetch(link.getAttribute('href'));
        const bytes = new Uint8Array(await answer.arrayBuffer());
        return [answer.status, answer.headers.get('Content-Type'), answer.headers.get('Content-Disposition') || '',
                link.hasAttribute('download'), String.fromCharCode(bytes[1], bytes[2], bytes[3]), bytes.length];
    })())");
    ASSERT_TRUE(download.is_array()) << download.dump();
    EXPECT_EQ(download[0], 200);
    EXPECT_EQ(download[1], "image/png");
    EXPECT_NE(download[2].get<std::string>().find("attachment"), std::string::npos);
    EXPECT_EQ(download[3], true);
    EXPECT_EQ(download[4], "PNG");
    EXPECT_GT(download[5].get<int>(), 10000);
    EXPECT_EQ(tab.evaluate("fetch('/shared/..%2F..%2Fetc%2Fpasswd').then(r => r.status)"), 404);
    EXPECT_EQ(calvaro.end(), 0);
}

// The live page fits the phone's screen to the browser: across the width of a
// phone held upright, whole on a laptop's screen (the calculate key in sight).
TEST(ServeTest, LivePageFitsAPhoneAndALaptop) {
    TemporaryDataRoot root("serve-fit");
    LiveCalvaro calvaro(root.path() / "home");
    ASSERT_GT(calvaro.port(), 0) << calvaro.said();
    Tab tab;
    ASSERT_TRUE(tab.ok()) << tab.error();
    ASSERT_TRUE(tab.navigate(calvaro.url()));
    walkIn(tab);
    EXPECT_EQ(tab.evaluate("!!document.querySelector('meta[name=viewport]')"), true);
    struct Case {
        int width, height;
        bool mobile;
        double scale;
    } cases[] = {{360, 740, true, 360.0 / 390}, {390, 844, true, 1.0}, {1366, 768, false, 768.0 / 844}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        tab.call("Emulation.setDeviceMetricsOverride",
                 {{"width", c.width}, {"height", c.height}, {"deviceScaleFactor", 1}, {"mobile", c.mobile}});
        ASSERT_TRUE(tab.actThenWaitFor("window.dispatchEvent(new Event('resize'))",
                                       "Math.abs(parseFloat(document.body.dataset.scale) - " + std::to_string(c.scale) +
                                           ") < 0.01"))
            << tab.evaluate("document.body.dataset.scale").dump();
        auto box = tab.evaluate("(() => { const r = document.getElementById('calculateButton').getBoundingClientRect(), "
                                "s = document.getElementById('screen').getBoundingClientRect(); "
                                "return [r.bottom, s.left, s.right, document.documentElement.scrollWidth]; })()");
        ASSERT_TRUE(box.is_array()) << box.dump();
        if (!c.mobile) {
            EXPECT_LE(box[0].get<double>(), c.height) << "the calculate key is in sight";
        }
        EXPECT_GE(box[1].get<double>(), -0.5);
        EXPECT_LE(box[2].get<double>(), c.width + 0.5) << "nothing beyond the width";
        EXPECT_LE(box[3].get<double>(), c.width) << "no sideways scrolling";
        if (const char* keep = std::getenv("CALVARO_TEST_PICTURES"); keep && *keep) {
            auto shot = tab.call("Page.captureScreenshot", {{"format", "png"}});
            const auto bytes = foundation::base64Decode(shot.value("data", ""));
            if (bytes) writeFile(fs::path(keep) / ("live_" + std::to_string(c.width) + ".png"), std::string(bytes->begin(), bytes->end()));
        }
    }
    tab.call("Emulation.clearDeviceMetricsOverride");
    EXPECT_EQ(calvaro.end(), 0);
}

}  // namespace
