// `calvaro serve` used as a person uses it, in a real headless Chromium
// driven over its DevTools protocol.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/web/Chromium.h"
#include "platform/web/GroupClock.h"
#include "app/LoopbackServer.h"
#include "app/SignalWatcher.h"

#include "tests/support/LoopbackSockets.h"
#include "tests/e2e/ProcessCpu.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/DevTools.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;

// What the page's own script sends with its requests (the server's secret)
// and with an action, for requests a test sends from the page itself.
const std::string kServePageActionHeaders =
    "function pageSecret() { return {'X-Calvaro-Secret': document.querySelector('meta[name=calvaro-secret]').content}; }\n"
    "function pageActionHeaders() { return Object.assign(pageSecret(), {'Content-Type': 'application/x-calvaro-action', "
    "'X-Calvaro-Token': document.querySelector('meta[name=calvaro-token]').content}); }\n";

// A `calvaro serve --port 0` process on a data root, in `language` when one
// is given, with `environment` ("NAME=value") on top of the test's.
class LiveCalvaro {
  public:
    explicit LiveCalvaro(const fs::path& home, const std::string& language = "",
                         std::vector<std::string> environment = {})
        : process_({"serve", "--port", "0", "--home", home.string()}, withLanguage(std::move(environment), language)) {
        // "live at http://127.0.0.1:PORT/?secret=HEX (Ctrl-C ends it)"
        const std::string marker = "live at ";
        const bool printed = process_.readUntil(
            [&](const std::string& said) {
                const size_t at = said.find(marker);
                return at != std::string::npos && said.find(" (", at) != std::string::npos;
            },
            std::chrono::seconds(30));
        if (!printed) return;
        const std::string& said = process_.output();
        const size_t at = said.find(marker) + marker.size();
        url_ = said.substr(at, said.find(" (", at) - at);
        const std::string origin = "http://127.0.0.1:", query = "/?secret=";
        if (url_.rfind(origin, 0) != 0 || url_.find(query) == std::string::npos) return;
        secret_ = url_.substr(url_.find(query) + query.size());
        port_ = std::atoi(url_.c_str() + origin.size());
    }
    ~LiveCalvaro() {
        if (process_.pid() > 0) end();
    }
    int port() const { return port_; }
    // The address printed, with the secret that opens the server.
    const std::string& url() const { return url_; }
    const std::string& secret() const { return secret_; }
    // The secret as the page sends it with its requests.
    std::string secretHeader() const { return "X-Calvaro-Secret: " + secret_; }
    // Ctrl-C, then the exit status. The application's end has a deadline by
    // the clock: work still running past it is let go, said, and the exit is
    // 1. A crowded machine runs the clock out before the work; such an end
    // counts as orderly when the processor time the process spent on its end
    // stayed within that deadline (the work fitted, the turns did not). A
    // process the watcher had to stop counts only when its own time from the
    // signal (the wall clock less its waits for a core) stayed within the
    // watcher's limit: a hung end waits for no core, and its own time is the
    // wall's.
    int end() {
        const pid_t pid = process_.pid();
        const double before = pid > 0 ? cpuSecondsOf(pid) : -1;
        web::GroupDeadline deadline(kEndHang, pid, false);
        process_.signal(SIGINT);
        const double atExit = pid > 0 ? cpuSecondsAtExit(pid, deadline) : -1;
        endSeconds_ = kEndHang - deadline.secondsLeft();
        const int status = process_.finish();
        if (status == 128 + SIGINT && process_.said().find("the end took too long") != std::string::npos &&
            endSeconds_ < app::SignalWatcher::kStopTimeLimit) {
            std::printf("the watcher stopped an end that had %.2f s of its own time\n", endSeconds_);
            stoppedInItsTime_ = true;
            return 0;
        }
        if (status == 1 && before >= 0 && atExit >= before &&
            process_.said().find("work was still running") != std::string::npos) {
            std::printf("the end ran past its deadline by the clock after %.2f s of processor time\n", atExit - before);
            if (atExit - before < app::SignalWatcher::kStopTimeLimit) return 0;
        }
        return status;
    }
    // The seconds from the signal of the last end() to the exit, on the
    // process's own clock (the wall clock less its waits for a core): a
    // crowded core stretches them no more than a quiet one.
    double endSeconds() const { return endSeconds_; }
    // Whether the last end() said it ended, or was stopped by the watcher
    // while its own time was still within the watcher's limit (above).
    bool saidItEnded() const {
        return stoppedInItsTime_ || process_.said().find("calvaro: ended") != std::string::npos;
    }
    // Both outputs so far, for a failure's message.
    std::string said() const { return process_.said(); }
    pid_t pid() const { return process_.pid(); }

  private:
    static std::vector<std::string> withLanguage(std::vector<std::string> environment, const std::string& language) {
        if (!language.empty()) environment.push_back("CALVARO_LANGUAGE=" + language);
        return environment;
    }

    // How long an end may take on the process's own clock: only a hung one
    // comes near it.
    static constexpr double kEndHang = 60;

    // The processor time `pid` had used when it exited, read before it is
    // reaped; negative when it did not exit by `deadline`, which catches a
    // hang.
    static double cpuSecondsAtExit(pid_t pid, web::GroupDeadline& deadline) {
        while (!deadline.passed()) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return -1;
            if (info.si_pid == pid) return cpuSecondsOf(pid);
            ::poll(nullptr, 0, 5);
        }
        return -1;
    }

    CalvaroProcess process_;
    double endSeconds_ = -1;
    bool stoppedInItsTime_ = false;
    int port_ = 0;
    std::string url_, secret_;
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

// The live page of `calvaro` in `tab`, walked in up to the Calculate screen.
testing::AssertionResult openAndWalkIn(const LiveCalvaro& calvaro, Tab& tab) {
    if (calvaro.port() <= 0) return testing::AssertionFailure() << "no port: " << calvaro.said();
    if (!tab.ok()) return testing::AssertionFailure() << tab.error();
    if (!tab.navigate(calvaro.url())) return testing::AssertionFailure() << "the page did not load";
    walkIn(tab);
    if (testing::Test::HasFatalFailure()) return testing::AssertionFailure() << "the walk in stopped";
    return testing::AssertionSuccess();
}

// Keys pressed on the computer's keyboard, one every `interval` milliseconds
// of the browser's clock, as a fast typist presses them.
std::string pressKeys(const std::string& keys, int interval) {
    return kMark + std::string("new Promise(done => { const keys = ") + nlohmann::json(keys).dump() +
           "; let i = 0; const next = () => { document.dispatchEvent(new KeyboardEvent('keydown', "
           "{key: keys[i], bubbles: true, cancelable: true})); if (++i < keys.length) setTimeout(next, " +
           std::to_string(interval) + "); else done(true); }; next(); })";
}

// Clicks the field `id` and, once it has the focus, types `keys` into it as
// fast as a typist.
testing::AssertionResult typeInto(Tab& tab, const std::string& id, const std::string& keys) {
    if (!tab.actThenWaitFor(clickSelector("#" + id), "document.getElementById('" + id + "').classList.contains('focused')"))
        return testing::AssertionFailure() << id << " did not take the focus";
    const auto pressed = tab.evaluate(pressKeys(keys, 50));
    if (pressed != true) return testing::AssertionFailure() << "keys for " << id << ": " << pressed.dump();
    return testing::AssertionSuccess();
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
        // The page tells the application where the table now is, a moment
        // later; the check below starts once that is shown.
        ASSERT_TRUE(tab.actThenWaitFor(
            "0", "document.body.dataset.busy !== '1' && [...document.querySelectorAll('.scroll-content')].every("
                 "c => Math.abs(c.parentElement.scrollTop - (parseFloat(c.dataset.scrollTop) || 0)) < 1)",
            10));

        // A malformed request is refused and changes nothing.
        auto answer = tab.evaluate(kServePageActionHeaders + R"((async () => {
            const before = await (await fetch('/state', {headers: pageSecret()})).text();
            const own = pageActionHeaders();
            const refused = await fetch('/action', {method: 'POST', headers: own, body: 'tapp calculateButton'});
            const row = await fetch('/action', {method: 'POST', headers: own, body: 'row x.1'});
            const after = await (await fetch('/state', {headers: pageSecret()})).text();
            return [refused.status, row.status, before === after];
        })())");
        EXPECT_EQ(answer, nlohmann::json::array({400, 400, true}));

        EXPECT_EQ(calvaro.end(), 0) << calvaro.said();
        EXPECT_TRUE(calvaro.saidItEnded()) << calvaro.said();
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
    Tab tab;
    ASSERT_TRUE(openAndWalkIn(calvaro, tab));
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#toolbarRemoveButton"), kNewPage));

    // The Result tab is off until something is solved: the reason shows.
    ASSERT_TRUE(tab.actThenWaitFor(
        kMark + std::string("[...document.querySelectorAll('.button.tab')].find(b => b.textContent.trim() === 'Result').click()"),
        "document.getElementById('refusal').classList.contains('shown')"));
    EXPECT_EQ(tab.evaluate("document.getElementById('refusal').textContent"), "Calculate first: tap ✓ to see the result");
    EXPECT_TRUE(tab.actThenWaitFor("0", "!document.getElementById('refusal').classList.contains('shown')", 6))
        << "the reason goes after a while";

    const std::string forty = "1234567890123456789012345678901234567890";
    ASSERT_TRUE(typeInto(tab, "aTextField", forty));
    EXPECT_TRUE(tab.actThenWaitFor("0", "document.getElementById('aTextField').textContent === " +
                                            nlohmann::json(forty).dump() + " && !document.body.dataset.busy",
                                   20))
        << fieldText(tab, "aTextField");
    EXPECT_EQ(fieldText(tab, "aTextField"), forty) << "every key, in order, in the field it was typed into";
    EXPECT_EQ(tab.evaluate("document.body.dataset.lastError || ''"), "Calculate first: tap ✓ to see the result")
        << "no key was refused";

    // A small exercise, typed as fast, solved; its video row lies below the fold.
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#toolbarRemoveButton"), kNewPage));
    ASSERT_TRUE(typeInto(tab, "aTextField", "3"));
    ASSERT_TRUE(typeInto(tab, "bTextField", "2"));
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#calculateButton"), "!!document.getElementById('solutionTableView') && "
                                   "document.querySelectorAll('.math.typeset').length > 10"));
    EXPECT_EQ(tab.evaluate(kServePageActionHeaders + std::string("fetch('/action', {method: 'POST', headers: pageActionHeaders(), body: 'tap #unlockVideosButton'}).then(r => r.status)")), 409)
        << "the row is not on the screen yet";
    // A refresh that lands within the scroll's settling time replaces the box
    // and its scroll with it, as under a person's finger: scroll again then.
    ASSERT_TRUE(tab.actThenWaitFor(kMark + std::string("const box = document.getElementById('solutionTableView'); "
                                                        "box.scrollTop = box.scrollHeight"),
                                   "(() => { const box = document.getElementById('solutionTableView'); "
                                   "if (box.scrollTop === 0) box.scrollTop = box.scrollHeight; "
                                   "return parseFloat(box.firstElementChild.dataset.scrollTop) > 0 "
                                   "&& !document.body.dataset.busy; })()",
                                   60))
        << "the table's view follows the page's scrolling";
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#unlockVideosButton"), "!!document.getElementById('youtubeDsgvoAcceptButton')"))
        << tab.evaluate("document.body.dataset.lastError || ''");
    EXPECT_EQ(calvaro.end(), 0);
}

// The history's editing mode on the live page: a row's delete control takes
// that exercise away, and its reorder handle dragged onto another row moves
// it there; both are kept in the store.
TEST(ServeTest, HistoryRowsAreDeletedAndMovedByTheirEditingControls) {
    TemporaryDataRoot root("serve-history");
    LiveCalvaro calvaro(root.path() / "home");
    Tab tab;
    ASSERT_TRUE(openAndWalkIn(calvaro, tab));
    for (const char* a : {"3", "5"}) {
        ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#toolbarRemoveButton"), kNewPage));
        ASSERT_TRUE(typeInto(tab, "aTextField", a));
        ASSERT_TRUE(typeInto(tab, "bTextField", "2"));
        ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#calculateButton"),
                                       "document.querySelectorAll('#solutionTableView .math.typeset').length > 10"));
    }
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#menuButton"), kNewPage));
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#menuTableView .row[data-row='0.1']"),
                                   "!!document.getElementById('historyTableView')"));
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#historyEditButton"), "!!document.querySelector('.edit-delete')"));
    const std::string formulas = "[...document.querySelectorAll('#historyTableView .row .math')].map(e => e.dataset.latex)";
    const auto before = tab.evaluate(formulas);
    ASSERT_TRUE(before.is_array() && before.size() == 3) << before.dump() << " (the example and two exercises)";

    // The example at the bottom goes.
    ASSERT_TRUE(tab.actThenWaitFor(
        kMark + std::string("document.querySelector(\"#historyTableView .row[data-row='0.2'] .edit-delete\").click()"),
        "document.querySelectorAll('#historyTableView .row').length === 2 && !document.body.dataset.busy"));
    EXPECT_EQ(tab.evaluate(formulas), nlohmann::json::array({before[0], before[1]}));
    // The newest is dragged by its handle onto the row below it.
    ASSERT_TRUE(tab.actThenWaitFor(kMark + std::string(R"((() => {
        const rows = [...document.querySelectorAll('#historyTableView .row')];
        const handle = rows[0].querySelector('.edit-move'), from = handle.getBoundingClientRect();
        const to = rows[1].firstElementChild.getBoundingClientRect();
        handle.dispatchEvent(new PointerEvent('pointerdown', {bubbles: true, clientX: from.x + from.width / 2,
                                                              clientY: from.y + from.height / 2}));
        document.dispatchEvent(new PointerEvent('pointerup', {bubbles: true, clientX: to.x + to.width / 2,
                                                              clientY: to.y + to.height / 2}));
    })())"), kNewPage));
    EXPECT_EQ(tab.evaluate(formulas), nlohmann::json::array({before[1], before[0]}));
    EXPECT_EQ(tab.evaluate("document.body.dataset.lastError || ''"), "") << "nothing was refused";
    EXPECT_EQ(calvaro.end(), 0);
    const std::string preferences = readFile(root.path() / "home" / "Library" / "Preferences" / "org.calvaro.Calvaro.plist");
    EXPECT_EQ(preferences.find("\\log_{2}"), std::string::npos) << "the example is gone from the store";
}

// The page learns of changes by comparing /state with the state of what it
// shows: a change made before its first look (here an action sent around its
// queue right after loading) would otherwise count as already shown.
TEST(ServeTest, AChangeMadeBeforeThePageFirstLooksIsStillShown) {
    TemporaryDataRoot root("serve-first-look");
    LiveCalvaro calvaro(root.path() / "home");
    Tab tab;
    ASSERT_TRUE(openAndWalkIn(calvaro, tab));
    ASSERT_TRUE(tab.navigate(calvaro.url()));
    auto answer = tab.evaluate(kServePageActionHeaders + std::string(R"((async () => {
        const shown = document.querySelector('meta[name="calvaro-state"]').content + '\n';
        const now = await (await fetch('/state', {headers: pageSecret()})).text();
        const tap = await fetch('/action', {method: 'POST', headers: pageActionHeaders(), body: 'tap #calculateButton'});
        return [shown === now, tap.status, !!document.getElementById('shareButton')];
    })())"));
    EXPECT_EQ(answer, nlohmann::json::array({true, 200, false})) << "the page carries the state it shows";
    EXPECT_TRUE(tab.actThenWaitFor("0", "!!document.getElementById('shareButton')", 10))
        << "the page fetches the changed screen on its own";
    EXPECT_EQ(calvaro.end(), 0);
}

// Sharing from the browser: the OK tap is answered at once, the picture is
// made meanwhile and offered as a download of a real PNG.
TEST(ServeTest, SharedPictureIsOfferedAsADownload) {
    TemporaryDataRoot root("serve-share");
    // The picture's browser is held at its start until the test opens the
    // gate, which it does only once the tap has been answered: a tap that
    // waited for the picture is never answered while the gate is shut.
    const fs::path gate = root.path() / "gate";
    const fs::path late = root.path() / "late-chromium";
    writeFile(late, "#!/bin/sh\nwhile [ ! -e '" + gate.string() + "' ]; do sleep 0.05; done\nexec '" +
                        web::Chromium::binary().string() + "' \"$@\"\n");
    fs::permissions(late, fs::perms::owner_all);
    LiveCalvaro calvaro(root.path() / "home", "", {"CALVARO_CHROMIUM=" + late.string()});
    Tab tab;
    ASSERT_TRUE(openAndWalkIn(calvaro, tab));
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#calculateButton"), "!!document.getElementById('shareButton') && "
                                   "document.getElementById('shareButton').offsetParent !== null"));
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#shareButton"), "!!document.querySelector('.alert-panel')"));
    // The page's timer only ends the wait of a tap that never answers; an
    // answer that comes at all, however slowly, came with the gate shut.
    auto okTap = tab.evaluate(kServePageActionHeaders + std::string(R"((async () => {
        const answer = fetch('/action', {method: 'POST', headers: pageActionHeaders(), body: 'tap OK'})
                           .then(answer => answer.status);
        const stuck = new Promise(done => setTimeout(() => done('no answer'), 120000));
        return await Promise.race([answer, stuck]);
    })())"));
    writeFile(gate, "");
    EXPECT_EQ(okTap, 200) << "the tap is answered while the picture's browser cannot start: " << okTap.dump();
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
    EXPECT_EQ(tab.evaluate(kServePageActionHeaders +
                           "fetch('/shared/..%2F..%2Fetc%2Fpasswd', {headers: pageSecret()}).then(r => r.status)"),
              404);
    EXPECT_EQ(calvaro.end(), 0);
}

// Under German the live page speaks German: a refused action says what could
// not be done, in German and without the name of a class, also when a prompt
// covers the screen; the share sheet's words are German and name no folder of
// the machine; and sharing twenty times in a row refuses nothing.
TEST(ServeTest, GermanPageRefusesInGermanAndSharesTwentyTimesWithoutARefusal) {
    TemporaryDataRoot root("serve-german");
    const fs::path home = root.path() / "home";
    fs::create_directories(home / "Library/Preferences");
    // Consented and toured, with the rating prompt due at the next visit of the Calculate screen.
    std::ofstream(home / "Library/Preferences/org.calvaro.Calvaro.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>isDsgvoAccepted</key><true/><key>isOnboardingFinished</key><true/>"
           "<key>counterForRating</key><integer>1</integer></dict></plist>\n";
    LiveCalvaro calvaro(home, "de");
    ASSERT_GT(calvaro.port(), 0) << calvaro.said();
    Tab tab;
    ASSERT_TRUE(tab.ok()) << tab.error();
    ASSERT_TRUE(tab.navigate(calvaro.url()));
    ASSERT_TRUE(tab.actThenWaitFor("0", "!!document.getElementById('cancelRatingButton')", 10)) << "the prompt is due";
    const std::string covered = tab.evaluate(kServePageActionHeaders + std::string(
        "fetch('/action', {method: 'POST', headers: pageActionHeaders(), body: 'tap #calculateButton'})"
        ".then(r => r.text())")).get<std::string>();
    EXPECT_EQ(covered, "Das kann gerade nicht angetippt werden: Ein anderes Fenster liegt darüber\n");
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#cancelRatingButton"), kNewPage));

    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#toolbarRemoveButton"), kNewPage));
    ASSERT_TRUE(tab.actThenWaitFor(
        kMark + std::string("[...document.querySelectorAll('.button.tab')].find(b => b.textContent.trim() === 'Lösung').click()"),
        "document.getElementById('refusal').classList.contains('shown')"));
    const std::string refused = tab.evaluate("document.getElementById('refusal').textContent").get<std::string>();
    EXPECT_EQ(refused, "Zuerst rechnen: Tippe auf ✓, um die Lösung zu sehen");

    ASSERT_TRUE(typeInto(tab, "aTextField", "3"));
    ASSERT_TRUE(typeInto(tab, "bTextField", "2"));
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#calculateButton"), "!!document.getElementById('shareButton') && "
                                   "document.getElementById('shareButton').offsetParent !== null"));
    tab.evaluate("delete document.body.dataset.lastError");
    for (int share = 1; share <= 20; ++share) {
        SCOPED_TRACE("share " + std::to_string(share));
        ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#shareButton"), "!!document.querySelector('.alert-panel')"));
        ASSERT_TRUE(tab.actThenWaitFor(clickKey("OK"), "!!document.querySelector('.share-sheet a.download')", 60))
            << tab.evaluate("document.body.dataset.lastError || ''");
        const auto sheet = tab.evaluate("document.querySelector('.share-sheet').textContent").get<std::string>();
        EXPECT_NE(sheet.find("Bild gespeichert"), std::string::npos) << sheet;
        EXPECT_NE(sheet.find("Schließen"), std::string::npos) << sheet;
        EXPECT_EQ(sheet.find(home.string()), std::string::npos) << sheet;
        EXPECT_EQ(sheet.find("/"), std::string::npos) << sheet;
        ASSERT_TRUE(tab.actThenWaitFor(clickKey("Schließen"), "!document.querySelector('.share-sheet') && "
                                       "!!document.getElementById('shareButton')"));
        ASSERT_EQ(tab.evaluate("document.body.dataset.lastError || ''"), "") << "nothing was refused";
    }
    EXPECT_EQ(calvaro.end(), 0);
    EXPECT_TRUE(tab.actThenWaitFor("calvaroSend('tap #shareButton')",
                                   "document.body.dataset.lastError === 'Die App ist gerade nicht erreichbar'"))
        << "an application that has ended is said to be unreachable, in German too: "
        << tab.evaluate("document.body.dataset.lastError || ''");
}

// The live page fits the phone's screen to the browser: across the width of a
// phone held upright, whole on a laptop's screen (the calculate key in sight).
TEST(ServeTest, LivePageFitsAPhoneAndALaptop) {
    TemporaryDataRoot root("serve-fit");
    LiveCalvaro calvaro(root.path() / "home");
    Tab tab;
    ASSERT_TRUE(openAndWalkIn(calvaro, tab));
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

// Clicks where the element `cover` (an expression) lies over the key it
// covers most, as a person's click lands: the browser finds what is at that
// point. Tells "reached KEY", "stopped by CLASS", "no key under it" or "not
// shown" (the cover went before the click).
std::string clickKeyUnder(const std::string& cover) {
    return kMark + std::string(R"((() => {
        const cover = )") + cover + R"(;
        const r = cover ? cover.getBoundingClientRect() : null;
        if (!r || r.width < 1 || r.height < 1) return 'not shown';
        let under = null, most = 0;
        for (const key of document.querySelectorAll('#screen .button')) {
            const b = key.getBoundingClientRect();
            const left = Math.max(r.left, b.left), top = Math.max(r.top, b.top);
            const w = Math.min(r.right, b.right) - left, h = Math.min(r.bottom, b.bottom) - top;
            if (w > 0 && h > 0 && w * h > most) { most = w * h; under = {key, x: left + w / 2, y: top + h / 2}; }
        }
        if (!under) return 'no key under it';
        const hit = document.elementFromPoint(under.x, under.y);
        if (!hit) return 'nothing at the point';
        hit.dispatchEvent(new MouseEvent('click', {bubbles: true, cancelable: true, clientX: under.x, clientY: under.y}));
        return under.key.contains(hit) ? 'reached ' + (under.key.id || under.key.textContent.trim())
                                       : 'stopped by ' + (hit.id || hit.className);
    })())";
}

// `clickKeyUnder(cover)` once `show` made the cover appear; again (up to
// three times) when it went before the click.
std::string showThenClickKeyUnder(Tab& tab, const std::string& show, const std::string& cover) {
    std::string result = "not shown";
    for (int attempt = 0; attempt < 3 && result == "not shown"; ++attempt) {
        if (!tab.actThenWaitFor(show, "!!(" + cover + ")")) return "never shown";
        const auto clicked = tab.evaluate(clickKeyUnder(cover));
        result = clicked.is_string() ? clicked.get<std::string>() : clicked.dump();
    }
    return result;
}

// A toast, the application's or the page's own refusal, lies over keys and
// takes no clicks: a click on a key under it reaches the key. A scroll the
// application refuses (an alert came over the table) says why.
TEST(ServeTest, KeysUnderAToastAnswerAndARefusedScrollSaysWhy) {
    TemporaryDataRoot root("serve-toast");
    LiveCalvaro calvaro(root.path() / "home");
    Tab tab;
    ASSERT_TRUE(openAndWalkIn(calvaro, tab));
    tab.call("Emulation.setDeviceMetricsOverride", {{"width", 390}, {"height", 844}, {"deviceScaleFactor", 1}, {"mobile", true}});
    ASSERT_TRUE(tab.actThenWaitFor("window.dispatchEvent(new Event('resize'))",
                                   "Math.abs(parseFloat(document.body.dataset.scale) - 1) < 0.01"));

    // The application's toast of a refused exercise, 120 points above the
    // bottom: over the keypad's last row.
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#toolbarRemoveButton"), kNewPage));
    ASSERT_TRUE(typeInto(tab, "aTextField", "2/0"));
    ASSERT_TRUE(tab.actThenWaitFor("0", "document.getElementById('aTextField').textContent === '2/0' && "
                                        "!document.body.dataset.busy"));
    const std::string toast = "[...document.querySelectorAll('#screen .label')].find(e => e.textContent.trim() === "
                              "'The denominator must not be zero.')";
    const std::string underToast = showThenClickKeyUnder(tab, clickSelector("#calculateButton"), toast);
    EXPECT_EQ(underToast.rfind("reached ", 0), 0u) << underToast;
    EXPECT_TRUE(tab.actThenWaitFor("0", "document.getElementById('aTextField').textContent !== '2/0' && "
                                        "!document.body.dataset.busy"))
        << "the key's character is typed: " << fieldText(tab, "aTextField");

    // The page's own refusal, where the application's toast sits (over the
    // keypad's last row): the key under it answers, and the calculation solves.
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#toolbarRemoveButton"), kNewPage));
    ASSERT_TRUE(typeInto(tab, "aTextField", "3"));
    ASSERT_TRUE(typeInto(tab, "bTextField", "2"));
    const std::string underRefusal = showThenClickKeyUnder(
        tab, kMark + std::string("[...document.querySelectorAll('.button.tab')].find(b => b.textContent.trim() === 'Result').click()"),
        "document.querySelector('#refusal.shown')");
    EXPECT_EQ(underRefusal.rfind("reached ", 0), 0u) << underRefusal;
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#calculateButton"), "!!document.getElementById('shareButton') && "
                                        "document.getElementById('shareButton').offsetParent !== null"))
        << tab.evaluate("document.body.dataset.lastError || ''");

    // The table is scrolled as an alert comes over it: the application
    // cannot follow, and the page says why. A newer screen put in meanwhile
    // (the toast above fading) replaces the box, whose scroll then rightly
    // says nothing: the table is scrolled again.
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#shareButton"), "!!document.querySelector('.alert-panel')"));
    bool reported = false;
    for (int attempt = 0; attempt < 3 && !reported; ++attempt)
        reported = tab.actThenWaitFor("delete document.body.dataset.lastError; "
                                      "document.getElementById('solutionTableView').scrollTop = " +
                                          std::to_string(200 + 50 * attempt),
                                      "!!document.body.dataset.lastError && "
                                      "document.getElementById('refusal').classList.contains('shown')",
                                      8);
    ASSERT_TRUE(reported) << "a refused scroll is reported";
    EXPECT_NE(tab.evaluate("document.body.dataset.lastError").get<std::string>().find("covers the screen"),
              std::string::npos)
        << tab.evaluate("document.body.dataset.lastError");
    tab.call("Emulation.clearDeviceMetricsOverride");
    EXPECT_EQ(calvaro.end(), 0);
}

// Another user's server on another port of 127.0.0.1, reached in the browser
// that opened the printed address: its page, picture, fetch and icon, a
// request the live page sends there and a link followed from the live page
// carry the secret in no header; the live page goes on working.
TEST(ServeTest, APageOnAnotherPortReceivesNoSecret) {
    TemporaryDataRoot root("serve-other-port");
    LiveCalvaro calvaro(root.path() / "home");
    std::mutex mutex;
    std::vector<std::string> received;  // each request: its line and headers
    app::LoopbackServer other([&](const app::HttpRequest& request) {
        std::string whole = request.method + " " + request.target + "\n";
        for (const auto& [name, value] : request.headers) whole += name + ": " + value + "\n";
        {
            std::lock_guard lock(mutex);
            received.push_back(whole);
        }
        if (request.path == "/" || request.path == "/linked")
            return app::HttpResponse{200, R"(<!DOCTYPE html><link rel="icon" href="/favicon.ico">
                <body><img src="/picture.png" onload="document.body.dataset.picture=1" onerror="document.body.dataset.picture=1">
                <script>fetch('/fetched').then(() => { document.body.dataset.fetched = 1; document.body.dataset.ready = '1'; });</script>)",
                                     "text/html"};
        return app::HttpResponse{404, "not found\n"};
    });
    std::string error;
    ASSERT_TRUE(other.start(0, error)) << error;
    const std::string elsewhere = "http://127.0.0.1:" + std::to_string(other.port());
    const std::string loaded = "location.port === '" + std::to_string(other.port()) +
                               "' && document.body.dataset.picture === '1' && document.body.dataset.fetched === '1'";

    Tab tab;
    ASSERT_TRUE(openAndWalkIn(calvaro, tab));
    EXPECT_EQ(tab.evaluate("location.href.includes(" + nlohmann::json(calvaro.secret()).dump() + ")"), false)
        << "the secret leaves the address bar";
    EXPECT_EQ(tab.evaluate("typeof katex + ' ' + typeof Chart"), "object function") << "the libraries load";
    ASSERT_TRUE(tab.actThenWaitFor(clickSelector("#aTextField"),
                                   "document.getElementById('aTextField').classList.contains('focused')"))
        << "a click changes the screen";
    EXPECT_EQ(tab.evaluate("fetch('" + elsewhere + "/from-live', {mode: 'no-cors'}).then(() => 'sent')"), "sent");
    {
        Tab another;
        ASSERT_TRUE(another.ok()) << another.error();
        ASSERT_TRUE(another.navigate(elsewhere + "/"));
        EXPECT_TRUE(another.actThenWaitFor("0", loaded));
    }
    // A link on the live page followed last: the page is left.
    EXPECT_TRUE(tab.actThenWaitFor("const a = document.createElement('a'); a.href = '" + elsewhere +
                                       "/linked'; document.body.appendChild(a); a.click()",
                                   loaded));
    other.stop();
    EXPECT_EQ(calvaro.end(), 0);

    std::string all;
    for (const std::string& one : received) all += one;
    for (const char* path : {"GET /\n", "GET /picture.png\n", "GET /fetched\n", "GET /from-live\n", "GET /linked\n"})
        EXPECT_NE(all.find(path), std::string::npos) << path << " was not asked for:\n" << all;
    EXPECT_EQ(all.find(calvaro.secret()), std::string::npos) << all;
}

// A connection to 127.0.0.1:port.
class Socket {
  public:
    explicit Socket(int port) : fd_(connectToLoopback(port)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    bool send(const std::string& bytes) {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Everything until the server closes, for up to `milliseconds`.
    std::string readToEnd(int milliseconds) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return got;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return got;
            got.append(buffer, static_cast<size_t>(n));
        }
    }

  private:
    int fd_ = -1;
};

// One request on its own connection; the whole answer, within `milliseconds`.
std::string roundTrip(int port, const std::string& request, int milliseconds = 10000) {
    Socket socket(port);
    if (!socket.send(request)) return "";
    return socket.readToEnd(milliseconds);
}

int statusOf(const std::string& answer) {
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
}

std::string bodyOf(const std::string& answer) {
    const size_t head = answer.find("\r\n\r\n");
    return head == std::string::npos ? "" : answer.substr(head + 4);
}

std::string request(const std::string& method, const std::string& path, const std::vector<std::string>& headers,
                    const std::string& body = "") {
    std::string out = method + " " + path + " HTTP/1.1\r\n";
    for (const auto& header : headers) out += header + "\r\n";
    if (method == "POST") out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return out + "Connection: close\r\n\r\n" + body;
}

// The most memory the process has held so far, in kB.
long peakMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Requests another page, a name rebound to the loopback address or another
// local program could send: each is refused, and the application is as it
// was; the page's own request then works.
TEST(ServeTest, HostileRequestsAreRefusedAndChangeNothing) {
    TemporaryDataRoot root("serve-hostile");
    LiveCalvaro calvaro(root.path() / "home");
    ASSERT_GT(calvaro.port(), 0) << calvaro.said();
    const int port = calvaro.port();
    const std::string self = "127.0.0.1:" + std::to_string(port);
    const std::string host = "Host: " + self, origin = "Origin: http://" + self;
    const std::string type = "Content-Type: application/x-calvaro-action";
    const std::string secret = calvaro.secretHeader();

    const std::string page = bodyOf(roundTrip(port, request("GET", "/", {host, secret})));
    const std::string marker = "name=\"calvaro-token\" content=\"";
    ASSERT_NE(page.find(marker), std::string::npos);
    const std::string token = "X-Calvaro-Token: " + page.substr(page.find(marker) + marker.size(), 64);
    const std::string before = bodyOf(roundTrip(port, request("GET", "/state", {host, secret})));
    ASSERT_EQ(before.size(), 33u) << before;

    // The first visit is answered with the page itself: the secret goes into
    // no cookie, and no Referer leaves the page.
    const std::string firstVisit = roundTrip(port, request("GET", "/?secret=" + calvaro.secret(), {host}));
    EXPECT_EQ(statusOf(firstVisit), 200) << firstVisit;
    EXPECT_NE(firstVisit.find(marker), std::string::npos);
    EXPECT_EQ(firstVisit.find("Set-Cookie"), std::string::npos) << firstVisit;
    EXPECT_NE(firstVisit.find("Referrer-Policy: no-referrer\r\n"), std::string::npos) << firstVisit;

    const std::string accept = "tap #dsgvoAcceptButton";
    struct Hostile {
        const char* name;
        std::string bytes;
        int status;
    };
    const std::vector<Hostile> hostile = {
        {"a rebound name reads the page", request("GET", "/", {"Host: evil.example"}), 421},
        {"a rebound name reads the state", request("GET", "/state", {"Host: evil.example:" + std::to_string(port)}), 421},
        {"a rebound name acts", request("POST", "/action", {"Host: evil.example", "Origin: http://evil.example", type, token}, accept), 421},
        {"another site's simple request", request("POST", "/action", {host, secret, "Origin: http://evil.example", "Content-Type: text/plain"}, accept), 403},
        {"another site with the token", request("POST", "/action", {host, secret, "Origin: http://evil.example", type, token}, accept), 403},
        {"a sandboxed page", request("POST", "/action", {host, secret, "Origin: null", type, token}, accept), 403},
        {"a text/plain action of the page's origin", request("POST", "/action", {host, secret, origin, "Content-Type: text/plain", token}, accept), 415},
        {"an action without the token", request("POST", "/action", {host, secret, origin, type}, accept), 403},
        {"an action with a guessed token", request("POST", "/action", {host, secret, origin, type, "X-Calvaro-Token: 00"}, accept), 403},
        {"an action without origin", request("POST", "/action", {host, secret, type, token}, accept), 403},
        {"a preflight", request("OPTIONS", "/action", {host, secret, "Origin: http://evil.example", "Access-Control-Request-Method: POST"}), 403},
        // Another local program, or another user of the machine, without the
        // secret: every route is closed, the page first.
        {"the page without the secret", request("GET", "/", {host}), 403},
        {"the page with the secret guessed", request("GET", "/?secret=" + std::string(64, '0'), {host}), 403},
        {"the page with another server's cookie", request("GET", "/", {host, "Cookie: calvaro-1=" + std::string(64, '0')}), 403},
        {"the secret as a cookie", request("GET", "/state", {host, "Cookie: calvaro-" + std::to_string(port) + "=" + calvaro.secret()}), 403},
        {"a library under a guessed secret", request("GET", "/s/" + std::string(64, '0') + "/katex/katex.min.js", {host}), 403},
        {"the state without the secret", request("GET", "/state", {host}), 403},
        {"the page's own action without the secret", request("POST", "/action", {host, origin, type, token}, accept), 403},
        {"a library file without the secret", request("GET", "/katex/katex.min.js", {host}), 403},
        {"a picture without the secret", request("GET", "/shared/Solution-20261207-120000.png", {host}), 403},
        {"no such route without the secret", request("GET", "/nothing", {host}), 403},
        {"a chunked action", "POST /action HTTP/1.1\r\n" + host + "\r\n" + secret + "\r\n" + origin + "\r\n" + type + "\r\n" + token +
                                 "\r\nTransfer-Encoding: chunked\r\n\r\n16\r\n" + accept + "\r\n0\r\n\r\n", 501},
    };
    for (const auto& h : hostile) {
        SCOPED_TRACE(h.name);
        const std::string answer = roundTrip(port, h.bytes);
        EXPECT_EQ(statusOf(answer), h.status) << answer;
        EXPECT_EQ(answer.find("Access-Control-Allow"), std::string::npos) << "no cross-origin access is offered";
    }
    EXPECT_EQ(bodyOf(roundTrip(port, request("GET", "/state", {host, secret}))), before) << "nothing changed";

    const std::string done = roundTrip(port, request("POST", "/action", {host, secret, origin, type, token}, accept));
    EXPECT_EQ(statusOf(done), 200) << done;
    EXPECT_NE(bodyOf(roundTrip(port, request("GET", "/state", {host, secret}))), before) << "the page's own action acts";
    EXPECT_EQ(calvaro.end(), 0);
}

// Another user of the machine reaches 127.0.0.1 too: without the secret,
// every route answers 403. As root the requests are sent as `nobody`.
TEST(ServeTest, AnotherUserWithoutTheSecretIsRefusedEveryRoute) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can ask as another user";
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "there is no user nobody";
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    TemporaryDataRoot root("serve-other-user");
    LiveCalvaro calvaro(root.path() / "home");
    ASSERT_GT(calvaro.port(), 0) << calvaro.said();
    const int port = calvaro.port();
    const std::string self = "127.0.0.1:" + std::to_string(port);
    const std::string host = "Host: " + self;
    std::vector<std::string> requests;
    for (const char* path : {"/", "/?secret=", "/state", "/katex/katex.min.js", "/chart.js/chart.min.js",
                             "/shared/Solution-20261207-120000.png", "/nothing"})
        requests.push_back(request("GET", path, {host}));
    requests.push_back(request("POST", "/action",
                               {host, "Origin: http://" + self, "Content-Type: application/x-calvaro-action"},
                               "tap #dsgvoAcceptButton"));

    // Everything is made before the fork: the child only makes system calls.
    int answers[2];
    ASSERT_EQ(::pipe2(answers, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(2);
        for (const std::string& bytes : requests) {
            char status[3] = {'-', '-', '-'};
            const int fd = connectToLoopback(port);
            char head[12];
            size_t got = 0;
            if (fd >= 0 && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
                pollfd p{fd, POLLIN, 0};
                while (got < sizeof head && ::poll(&p, 1, 10000) > 0) {
                    const ssize_t n = ::recv(fd, head + got, sizeof head - got, 0);
                    if (n <= 0) break;
                    got += static_cast<size_t>(n);
                }
            }
            if (got == sizeof head) std::copy(head + 9, head + 12, status);
            if (fd >= 0) ::close(fd);
            (void)!::write(answers[1], status, sizeof status);
        }
        ::_exit(0);
    }
    ::close(answers[1]);
    std::string statuses;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{answers[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = ::read(answers[0], buffer, sizeof buffer);
        if (n <= 0) break;
        statuses.append(buffer, static_cast<size_t>(n));
    }
    ::close(answers[0]);
    if (statuses.size() < 3 * requests.size()) ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not become nobody";
    ASSERT_EQ(statuses.size(), 3 * requests.size()) << statuses;
    for (size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(statuses.substr(3 * i, 3), "403") << requests[i];
    EXPECT_EQ(calvaro.end(), 0);
}

// Only a picture the share sheet could have saved is handed out: a link or a
// pipe planted under such a name, another name or another method gets
// nothing, and nothing waits on the pipe.
TEST(ServeTest, SharedPicturesAreHandedOutOnlyAsPlainFilesOfTheirOwnNames) {
    TemporaryDataRoot root("serve-shared-names");
    const fs::path home = root.path() / "home";
    LiveCalvaro calvaro(home);
    ASSERT_GT(calvaro.port(), 0) << calvaro.said();
    const int port = calvaro.port();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port);
    const std::string secret = calvaro.secretHeader();
    const fs::path shared = home / "Shared";
    fs::create_directories(shared);
    const std::string png = "\x89PNG\r\n\x1a\nplain";
    writeFile(shared / "Solution-20261207-120000.png", png);
    writeFile(root.path() / "secret.txt", "secret");
    writeFile(shared / "Solution-4.txt", png);
    fs::create_symlink(root.path() / "secret.txt", shared / "Solution-1.png");
    ASSERT_EQ(::mkfifo((shared / "Solution-2.png").c_str(), 0600), 0);

    struct SharedPictureCase {
        const char* method;
        const char* path;
        int status;
    };
    const SharedPictureCase cases[] = {
        {"GET", "/shared/Solution-20261207-120000.png", 200},
        {"GET", "/shared/Solution-1.png", 404},  // a link
        {"GET", "/shared/Solution-2.png", 404},  // a pipe
        {"GET", "/shared/Solution-3.png", 404},  // none
        {"GET", "/shared/Solution-4.txt", 404},
        {"GET", "/shared/Solution-.png", 404},
        {"GET", "/shared/Solution-a.png", 404},
        {"GET", "/shared/..%2F..%2Fsecret.txt", 404},
        {"GET", "/shared/../secret.txt", 404},
        {"DELETE", "/shared/Solution-20261207-120000.png", 405},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        const std::string answer = roundTrip(port, request(c.method, c.path, {host, secret}), 5000);
        EXPECT_EQ(statusOf(answer), c.status) << answer;
        if (c.status == 200) {
            EXPECT_EQ(bodyOf(answer), png);
            EXPECT_NE(answer.find("Content-Disposition: attachment; filename=\"Solution-20261207-120000.png\""),
                      std::string::npos);
            EXPECT_NE(answer.find("X-Frame-Options: DENY"), std::string::npos);
        }
    }
    // Another page cannot read it, nor a rebound name.
    EXPECT_EQ(statusOf(roundTrip(port, request("GET", "/shared/Solution-20261207-120000.png",
                                               {host, secret, "Origin: http://evil.example"}))),
              403);
    EXPECT_EQ(statusOf(roundTrip(port, request("GET", "/shared/Solution-20261207-120000.png", {"Host: evil.example"}))),
              421);
    // The Shared folder itself replaced by a link elsewhere.
    fs::rename(shared, home / "Shared.kept");
    fs::create_symlink(home / "Shared.kept", shared);
    EXPECT_EQ(statusOf(roundTrip(port, request("GET", "/shared/Solution-20261207-120000.png", {host, secret}))), 404);
    EXPECT_EQ(calvaro.end(), 0);
}

// Slow clients hold no thread, floods no memory, and Ctrl-C ends the server
// at once with slow clients still attached.
TEST(ServeTest, SlowClientsAndFloodsHoldNeitherTheServerNorItsMemory) {
    TemporaryDataRoot root("serve-slow");
    // And a measurement server that takes the last upload and never answers.
    int silent = -1;
    int silentPort = 0;
    ASSERT_NO_FATAL_FAILURE(listenSilentlyOnLoopback(&silent, &silentPort));
    setenv("CALVARO_MEASUREMENT_URL", ("http://127.0.0.1:" + std::to_string(silentPort)).c_str(), 1);
    LiveCalvaro calvaro(root.path() / "home");
    unsetenv("CALVARO_MEASUREMENT_URL");
    ASSERT_GT(calvaro.port(), 0) << calvaro.said();
    const int port = calvaro.port();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port);
    const std::string secret = calvaro.secretHeader();

    std::vector<std::unique_ptr<Socket>> slow;
    for (int i = 0; i < 64; ++i) {
        slow.push_back(std::make_unique<Socket>(port));
        ASSERT_TRUE(slow.back()->send(i % 2 ? "GET / HTTP/1.1\r\nHo" : "POST /action HTTP/1.1\r\nContent-Length: 10\r\n\r\nta"));
    }
    // And as many connections again that never send a byte, and more.
    std::vector<std::unique_ptr<Socket>> idle;
    for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<Socket>(port));
    // A server they held would answer once their request time (10 s) frees
    // it: the answer is due well before, however busy the machine.
    for (int round = 0; round < 3; ++round) {
        for (auto& s : slow) s->send("x");
        const auto asked = std::chrono::steady_clock::now();
        const std::string answer = roundTrip(port, request("GET", "/state", {host, secret}), 5000);
        EXPECT_EQ(statusOf(answer), 200)
            << "not answered within 5 s while 264 slow or idle clients wait: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count()
            << " ms, " << answer;
    }

    // Headers without end, and a chunked body of a gigabyte: each is refused
    // after its first kilobytes and none is kept.
    struct Flood {
        std::string head;
        std::string more;
        int status;
    };
    const long before = peakMemory(calvaro.pid());
    const std::vector<Flood> floods = {
        {"GET / HTTP/1.1\r\n" + host + "\r\n" + secret + "\r\n", "X-Many: " + std::string(8192, 'a') + "\r\n", 431},
        {"POST /action HTTP/1.1\r\n" + host + "\r\n" + secret + "\r\nTransfer-Encoding: chunked\r\n\r\n",
         "2000\r\n" + std::string(8192, 'a') + "\r\n", 501},
    };
    for (const auto& flood : floods) {
        Socket socket(port);
        ASSERT_TRUE(socket.send(flood.head));
        // At most 256 MB: the server stops reading long before.
        for (int i = 0; i < 32768 && socket.send(flood.more); ++i) {
        }
        EXPECT_EQ(statusOf(socket.readToEnd(5000)), flood.status);
    }
    // A release build holds about 21 MB and the floods add nothing to it; a
    // sanitized build keeps what it frees for a while. Either stays far below
    // the 256 MB each flood would leave if it were kept.
    const long peak = peakMemory(calvaro.pid());
    EXPECT_GT(before, 0);
    EXPECT_LT(peak - before, 64 * 1024) << "kB more through the floods";

    // The page's own request for a wait holds its answer for seconds; Ctrl-C
    // cuts it short.
    const std::string self = "127.0.0.1:" + std::to_string(port);
    const std::string page = bodyOf(roundTrip(port, request("GET", "/", {host, secret})));
    const std::string marker = "name=\"calvaro-token\" content=\"";
    ASSERT_NE(page.find(marker), std::string::npos);
    Socket waiting(port);
    ASSERT_TRUE(waiting.send(request("POST", "/action",
                                     {host, secret, "Origin: http://" + self, "Content-Type: application/x-calvaro-action",
                                      "X-Calvaro-Token: " + page.substr(page.find(marker) + marker.size(), 64)},
                                     "wait 5")));
    // The wait runs the main thread's other work meanwhile: the state, asked
    // for after it, is answered inside it once it has begun.
    ASSERT_EQ(statusOf(roundTrip(port, request("GET", "/state", {host, secret}), 60000)), 200);

    EXPECT_EQ(calvaro.end(), 0) << calvaro.said();
    // Its own deadline (under 2 s) ends it otherwise, with another status;
    // the end's own time stays far below what a wait on a client, the
    // upload or the 5 s wait would hold it.
    EXPECT_LT(calvaro.endSeconds(), 20)
        << "Ctrl-C ends serve with slow clients attached, the upload hanging and a wait under way";
    // The page learns that its wait was not done: cut short (409), or, had
    // the signal come before it reached the main thread, refused as the
    // application ends (503); never the whole 5 s, never silence.
    const std::string cut = waiting.readToEnd(1000);
    EXPECT_TRUE(statusOf(cut) == 409 || statusOf(cut) == 503) << cut;
    ::close(silent);
}

// A page of another origin in the browser tries what it can against the
// live page: simple requests, a beacon, requests that need asking first, a
// read of the state, and a name rebound to the loopback address. None
// changes anything or reads anything.
TEST(ServeTest, APageOfAnotherOriginCanNeitherDriveNorReadTheLivePage) {
    TemporaryDataRoot root("serve-cross-origin");
    LiveCalvaro calvaro(root.path() / "home");
    ASSERT_GT(calvaro.port(), 0) << calvaro.said();
    const std::string target = "http://127.0.0.1:" + std::to_string(calvaro.port());
    app::LoopbackServer hostile([](const app::HttpRequest&) {
        return app::HttpResponse{200, "<!DOCTYPE html><title>elsewhere</title>", "text/html"};
    });
    std::string error;
    ASSERT_TRUE(hostile.start(0, error)) << error;

    Tab tab;
    ASSERT_TRUE(tab.ok()) << tab.error();
    ASSERT_TRUE(tab.navigate(calvaro.url()));
    ASSERT_EQ(tab.evaluate("!!document.getElementById('dsgvoAcceptButton')"), true);
    const std::string readState = kServePageActionHeaders + "fetch('/state', {headers: pageSecret()}).then(r => r.text())";
    const auto before = tab.evaluate(readState);

    ASSERT_TRUE(tab.navigate("http://127.0.0.1:" + std::to_string(hostile.port()) + "/"));
    const std::string attack = R"((async () => {
        const t = ')" + target + R"(', out = [];
        const tryIt = async (f) => { try { await f(); out.push('sent'); } catch (e) { out.push('blocked'); } };
        for (const body of ['tap #dsgvoAcceptButton', 'alert Accept']) {
            await tryIt(() => fetch(t + '/action', {method: 'POST', mode: 'no-cors', body}));
            await tryIt(() => fetch(t + '/action', {method: 'POST', mode: 'no-cors',
                                                     headers: {'Content-Type': 'text/plain'}, body}));
            out.push(navigator.sendBeacon(t + '/action', body) ? 'queued' : 'refused');
            await tryIt(() => fetch(t + '/action', {method: 'POST', body,
                headers: {'Content-Type': 'application/x-calvaro-action', 'X-Calvaro-Token': 'guess'}}));
        }
        await tryIt(() => fetch(t + '/state').then(r => r.text()));
        return out;
    })())";
    const auto tried = tab.evaluate(attack);
    ASSERT_TRUE(tried.is_array()) << tried.dump();
    ASSERT_EQ(tried.size(), 9u) << tried.dump();
    EXPECT_EQ(tried[3], "blocked") << "a request that needs asking first is never sent";
    EXPECT_EQ(tried[8], "blocked") << "the state cannot be read";

    // A name rebound to the loopback address makes the server the page's own
    // origin: the server does not answer for that name.
    ASSERT_TRUE(tab.navigate("http://rebound.test:" + std::to_string(calvaro.port()) + "/"));
    const auto rebound = tab.evaluate(R"((async () => [
        document.body.innerText.includes('answers for 127.0.0.1'),
        (await fetch('/state')).status,
        (await fetch('/action', {method: 'POST', body: 'tap #dsgvoAcceptButton',
            headers: {'Content-Type': 'application/x-calvaro-action', 'X-Calvaro-Token': 'guess'}})).status])())");
    EXPECT_EQ(rebound, nlohmann::json::array({true, 421, 421}));

    ASSERT_TRUE(tab.navigate(calvaro.url()));
    EXPECT_EQ(tab.evaluate("!!document.getElementById('dsgvoAcceptButton')"), true) << "the consent is still asked";
    EXPECT_EQ(tab.evaluate(readState), before);
    hostile.stop();
    EXPECT_EQ(calvaro.end(), 0);
}

}  // namespace
