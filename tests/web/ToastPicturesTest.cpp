// Every refusal of the input checks, in English and German, shown by the
// application's toast on the Calculate screen of phones 320 and 390 points
// wide, and a refused typed number on the live page at browser widths of 320
// and 390 pixels: the whole text lies inside its toast, and the toast ends
// above the keypad's last row. Read from the pages as Chromium laid them out.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Calvaro/screens/ErrorManager.h"
#include "Calvaro/screens/ViewManager.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/OnboardingManager.h"
#include "Calvaro/services/RatingViewController.h"
#include "app/CalvaroMain.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/Value.h"
#include "platform/ui/Application.h"
#include "platform/ui/Driver.h"
#include "platform/ui/Traits.h"
#include "platform/web/HtmlPage.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/DevTools.h"
#include "tests/web/LiveApplication.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;

const char* const kToastLanguages[] = {"en", "de"};
const double kToastPhoneWidths[] = {320, 390};

// The keys of the English table whose translators' note calls them an input
// error, in the table's order: every refusal the input checks can give,
// those added later included.
std::vector<std::string> inputErrorKeys() {
    const std::string text = readFile(foundation::Bundle::main().resourcePath() / "en.lproj" / "Localizable.strings");
    std::vector<std::string> keys;
    std::string note;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, 2, "/*") == 0) {
            const size_t end = text.find("*/", at + 2);
            if (end == std::string::npos) break;
            note = text.substr(at + 2, end - at - 2);
            note.erase(0, note.find_first_not_of(" \n\t"));
            at = end + 2;
        } else if (text[at] == '"') {
            size_t end = at + 1;
            while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
            if (note.rfind("Input error", 0) == 0) keys.push_back(text.substr(at + 1, end - at - 1));
            note.clear();
            at = text.find(';', end);
            if (at == std::string::npos) break;
            ++at;
        } else {
            ++at;
        }
    }
    return keys;
}

// An error text of `key` with wide limits where its message names them.
std::string errorTextWithLimits(const std::string& key) {
    const std::string english = foundation::Bundle::main().localizedString(key);
    std::string errorText = key;
    if (english.find("%0") != std::string::npos) errorText += std::string(ErrorManager::errorTextSeparator) + "-9007199254740991";
    if (english.find("%1") != std::string::npos) errorText += std::string(ErrorManager::errorTextSeparator) + "9007199254740992";
    return errorText;
}

// The message of `errorText` in `language`, limits filled in as the error
// checking fills them in.
std::string toastTextIn(const std::string& language, const std::string& errorText) {
    const std::vector<std::string> pieces = ErrorManager::splitErrorText(errorText);
    std::string message = foundation::Bundle(foundation::Bundle::main().resourcePath(), language).localizedString(pieces[0]);
    for (size_t piece = 1; piece < pieces.size(); ++piece) {
        const std::string mark = "%" + std::to_string(piece - 1);
        for (size_t at = message.find(mark); at != std::string::npos; at = message.find(mark, at + pieces[piece].size()))
            message.replace(at, mark.size(), pieces[piece]);
    }
    return message;
}

// The toast (the label of the page's screen showing one of `texts`), the
// box of each character its text draws, and the keypad's last row (the
// Calculate key), in screen points: the problems found, one line each, and
// the toast's text and number of lines. Every character lies inside the
// toast, none over the last row, and the toast ends no lower than 80 points
// above the screen's bottom, where a toast of two lines ends (which is one
// point into the last row); it is not needlessly high either.
const char* kToastGeometry = R"((texts) => {
    const screen = document.getElementById('screen'), k = parseFloat(document.body.dataset.scale || '1');
    const origin = screen.getBoundingClientRect(), height = parseFloat(document.body.dataset.height || '0');
    const inPoints = r => ({top: (r.top - origin.top) / k, bottom: (r.bottom - origin.top) / k,
                            left: (r.left - origin.left) / k, right: (r.right - origin.left) / k});
    const toast = [...screen.querySelectorAll('.label')].find(e => texts.includes(e.textContent) && e.offsetParent);
    const key = document.getElementById('calculateButton');
    if (!toast || !key) return {missing: !toast ? 'toast' : 'Calculate key'};
    const glyphs = [];
    const walker = document.createTreeWalker(toast, NodeFilter.SHOW_TEXT);
    for (let node; (node = walker.nextNode());)
        for (let i = 0; i < node.length; ++i) {
            if (/\s/.test(node.data[i])) continue;  // a blank at a line's end may hang past the box
            const range = document.createRange();
            range.setStart(node, i);
            range.setEnd(node, i + 1);
            for (const r of range.getClientRects()) glyphs.push(inPoints(r));
        }
    const box = inPoints(toast.getBoundingClientRect()), row = inPoints(key.getBoundingClientRect());
    const round = r => [r.left, r.top, r.right, r.bottom].map(Math.round).join(',');
    const problems = [];
    const outside = glyphs.filter(g => g.top < box.top - 0.5 || g.bottom > box.bottom + 0.5 ||
                                       g.left < box.left - 0.5 || g.right > box.right + 0.5);
    if (outside.length) problems.push(outside.length + ' characters, the first at ' + round(outside[0]) +
                                      ', leave the toast ' + round(box));
    const low = glyphs.filter(g => g.bottom > row.top + 0.5);
    if (low.length) problems.push(low.length + ' characters lie over the keypad\'s last row from ' + Math.round(row.top));
    if (box.bottom > height - 80 + 0.5) problems.push('the toast ends at ' + Math.round(box.bottom) + ', below ' + (height - 80));
    // At most a line higher than its lines take, as a toast of one line is
    // (a point more for a glyph's box, lower than its line's).
    const lines = new Set(glyphs.map(g => Math.round(g.top))).size;
    const line = Math.max(0, ...glyphs.map(g => g.bottom - g.top));
    if (box.bottom - box.top - lines * line > 40 - line + 1)
        problems.push('the toast is ' + Math.round(box.bottom - box.top) + ' high for ' + lines + ' lines');
    return {problems, text: toast.textContent, lines,
            toastTop: box.top, toastBottom: box.bottom, rowTop: row.top};
})";

std::string toastGeometry(const std::vector<std::string>& texts) {
    return "(" + std::string(kToastGeometry) + ")(" + nlohmann::json(texts).dump() + ")";
}

// The application launched on a returning user's data root, on a phone
// `width` points wide, in virtual time.
class LaunchedOnAPhone {
  public:
    explicit LaunchedOnAPhone(double width) {
        resetSharedState();
        root_.useAsHome();
        dispatch::markMainThread();
        auto defaults = foundation::UserDefaults::standard();
        defaults.set(OnboardingManager::isOnboardingFinishedKey, true);
        defaults.set(DsgvoManager::isDsgvoAcceptedKey, true);
        defaults.set(RatingViewController::isRatingAlreadyDoneKey, true);
        ui::DeviceProfile phone = ui::DeviceProfile::phone();
        phone.screenSize.width = width;
        ui::TraitCollection::setDevice(phone);
        launched_ = ui::Application::shared().launch(makeCalvaroAppDelegate());
        ui::Driver(ui::Application::shared()).settle();
    }
    ~LaunchedOnAPhone() {
        executor_.advanceBy(10);  // every toast faded and gone
        ui::Application::reset();
        executor_.runUntilIdle();
        RatingViewController::resetShared();
        ErrorManager::shared().setAllFields({});
        resetSharedState();
    }
    bool launched() const { return launched_; }
    ui::Window& window() { return *ui::Application::shared().keyWindow(); }

  private:
    dispatch::ManualExecutor executor_;
    TemporaryDataRoot root_{"toast-phone"};
    bool launched_ = false;
};

TEST(ToastPicturesTest, EveryRefusalFitsItsToastAboveTheKeypadsLastRowInBothLanguages) {
    const std::vector<std::string> keys = inputErrorKeys();
    ASSERT_GE(keys.size(), 10u) << "the table's input errors were not found";
    TemporaryDataRoot folder("toast-pictures");
    size_t shown = 0;
    for (const double width : kToastPhoneWidths) {
        LaunchedOnAPhone application(width);
        ASSERT_TRUE(application.launched());
        for (const std::string& key : keys) {
            const std::string errorText = errorTextWithLimits(key);
            if (!ErrorManager::toastMessage(errorText)) continue;  // an alert, not a toast
            for (const char* language : kToastLanguages) {
                const std::string name = "toast-" + std::string(language) + "-" + std::to_string(static_cast<int>(width)) + "-" + key;
                SCOPED_TRACE(name);
                const std::string text = toastTextIn(language, errorText);
                ViewManager::showToast(text);
                const fs::path page = folder.path() / (name + ".html");
                writeFile(page, web::HtmlPage::ofWindow(application.window()));
                const auto toast = application.window().rootViewController()->view()->subviews().back();
                toast->removeFromSuperview();
                const auto geometry = openPage(page).evaluate(toastGeometry({text}));
                ASSERT_TRUE(geometry.is_object() && geometry.contains("problems")) << geometry.dump();
                EXPECT_EQ(geometry["problems"], nlohmann::json::array()) << text;
                pictureOf(page, folder.path() / (name + ".png"), width, ui::DeviceProfile::phone().screenSize.height, 2);
                ++shown;
            }
        }
    }
    EXPECT_GE(shown, 2 * 2 * 10u);
}

// A number with more significant digits than a double gives back, typed on
// the live page and refused: its toast holds the whole refusal, in the
// page's language, at a narrow and a usual phone's width.
TEST(ToastPicturesTest, ARefusedTypedNumberFitsItsToastOnTheLivePage) {
    for (const char* language : kToastLanguages) {
        std::set<std::string> refusals;
        for (const std::string& key : inputErrorKeys()) refusals.insert(toastTextIn(language, errorTextWithLimits(key)));
        for (const double width : kToastPhoneWidths) {
            const std::string name = "live-toast-" + std::string(language) + "-" + std::to_string(static_cast<int>(width));
            SCOPED_TRACE(name);
            TemporaryDataRoot root("live-toast");
            const fs::path home = root.path() / "home";
            writeReturningUserPreferences(home, "<key>isRatingAlreadyDone</key><true/>");
            LiveApplication calvaro(home, language);
            ASSERT_FALSE(calvaro.url.empty()) << calvaro.process.said();
            Tab tab;
            ASSERT_TRUE(tab.ok()) << tab.error();
            tab.call("Emulation.setDeviceMetricsOverride",
                     {{"width", static_cast<int>(width)}, {"height", 740}, {"deviceScaleFactor", 2}, {"mobile", true}});
            ASSERT_TRUE(tab.navigate(calvaro.url));
            ASSERT_TRUE(tab.actThenWaitFor("0", "!!document.getElementById('bTextField') && !document.body.dataset.busy", 30));
            const std::string mark = "window.__seen = document.body.dataset.refreshed || '0'; ";
            const std::string newScreen = "(document.body.dataset.refreshed || '0') !== window.__seen && !document.body.dataset.busy";
            ASSERT_TRUE(tab.actThenWaitFor(mark + "document.getElementById('bTextField').click()",
                                           "document.getElementById('bTextField').classList.contains('focused')"));
            const std::string typed = "9007199254740993";
            ASSERT_TRUE(tab.actThenWaitFor(
                "for (const key of " + nlohmann::json(typed).dump() +
                    ") document.dispatchEvent(new KeyboardEvent('keydown', {key, bubbles: true, cancelable: true}))",
                "document.getElementById('bTextField').textContent === " + nlohmann::json(typed).dump() +
                    " && !document.body.dataset.busy"))
                << tab.evaluate("document.getElementById('bTextField').textContent").dump();
            // The refusal's toast is the label of the screen that shows one of
            // the language's refusals. It is gone five seconds after it came:
            // on a machine too slow to show it by then, Calculate is tapped again.
            const std::string geometryScript = toastGeometry({refusals.begin(), refusals.end()});
            nlohmann::json geometry;
            for (int attempt = 0; attempt < 3 && !geometry.contains("problems"); ++attempt) {
                ASSERT_TRUE(tab.actThenWaitFor(mark + "document.getElementById('calculateButton').click()", newScreen))
                    << tab.evaluate("document.body.dataset.lastError || ''").dump();
                geometry = tab.evaluate(geometryScript);
            }
            keepLivePicture(tab, name);
            ASSERT_TRUE(geometry.is_object() && geometry.contains("problems")) << geometry.dump();
            EXPECT_EQ(geometry["problems"], nlohmann::json::array()) << geometry.dump();
            EXPECT_GE(geometry["lines"].get<int>(), 3) << "the refusal of a typed number says why: " << geometry.dump();
        }
    }
}

}  // namespace
