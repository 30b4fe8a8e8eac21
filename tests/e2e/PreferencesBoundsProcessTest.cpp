// `calvaro` on a data root whose preferences file is compact and large: 56 MB
// of eight million trues beside the consent, the tour, the rating and a
// history. Every start, which solves an exercise and so rewrites the file,
// must stay small (the file is counted before anything is built, set aside
// whole, and what fits is kept), and the consent and the history must still
// be in the live file after three starts: a rewrite past the reader's own
// bound once made the next start begin afresh without them.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/e2e/FirstStartProcess.h"
#include "tests/e2e/SolvingStart.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;

// What one start may hold; under AddressSanitizer its shadow and quarantine
// come on top.
constexpr long kPreferencesPeakKilobytes = kUnderAddressSanitizer ? 1536 * 1024 : 300 * 1024;

constexpr const char* kRecordXml =
    "<dict><key>inputParameters</key><dict><key>aTextField</key><string>2</string><key>bTextField</key>"
    "<string>1</string><key>cTextField</key><string>0</string><key>dTextField</key><string>0</string>"
    "<key>xTextField</key><string>1</string><key>zTextField</key><string>1</string></dict>"
    "<key>latexString</key><string>f(x) = 1 \\cdot \\log_{2}(1 x + 0) + 0</string><key>setupParameter</key>"
    "<dict><key>appKey</key><string>CLV</string><key>inputCalculationSelection</key><integer>0</integer></dict>"
    "<key>solutionSteps</key><array/></dict>";

// The usual keys around eight million trues, written without a blank.
std::string compactPreferences() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
    xml += "<key>Calculations</key><array>";
    for (int i = 0; i < 3; ++i) xml += kRecordXml;
    xml += "</array><key>didSeedExampleCalculation</key><true/><key>flags</key><array>";
    xml.reserve(xml.size() + 8'000'000 * 7 + 400);
    for (int i = 0; i < 8'000'000; ++i) xml += "<true/>";
    xml += "</array><key>isDsgvoAccepted</key><true/><key>isOnboardingFinished</key><true/>"
           "<key>isRatingAlreadyDone</key><true/></dict></plist>";
    return xml;
}

}  // namespace

class PreferencesBoundsProcessTest : public testing::Test {
  protected:
    // One start that solves an exercise (a calculation writes the history,
    // and with it the whole file) to its first screen.
    SolvingStart startOnce() { return solveOnceAndStop(root.path(), home(), std::chrono::seconds(120)); }
    fs::path home() const { return root.path() / "home"; }
    fs::path preferences() const { return home() / "Library/Preferences/org.calvaro.Calvaro.plist"; }
    std::string said() const { return "\n" + firstStartFileText(root.path() / "err.txt"); }

    TemporaryDataRoot root{"preferences-bounds"};
};

TEST_F(PreferencesBoundsProcessTest, ACompactFilePastTheBoundsCostsLittleAndKeepsTheConsent) {
    fs::create_directories(preferences().parent_path());
    const std::string original = compactPreferences();
    std::ofstream(preferences(), std::ios::binary) << original;

    for (int start = 1; start <= 3; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        const SolvingStart run = startOnce();
        ASSERT_TRUE(run.shown) << run.seconds << " s" << said();
        EXPECT_NE(run.status, -1) << said();
        EXPECT_GT(run.peakKilobytes, 0);
        EXPECT_LT(run.peakKilobytes, kPreferencesPeakKilobytes) << run.seconds << " s" << said();
        std::printf("start %d: %ld kB at most, first screen after %.2f s\n", start, run.peakKilobytes, run.seconds);

        const std::string live = firstStartFileText(preferences());
        EXPECT_LT(live.size(), size_t{8} << 20);
        for (const char* key : {"isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone"}) {
            const size_t at = live.find(std::string("<key>") + key + "</key>");
            ASSERT_NE(at, std::string::npos) << key << said();
            EXPECT_EQ(live.find_first_not_of("\t\n", at + std::strlen(key) + 11), live.find("<true/>", at)) << key;
        }
        // The three records it had and one more for each start.
        size_t records = 0;
        for (size_t at = live.find("<key>latexString</key>"); at != std::string::npos;
             at = live.find("<key>latexString</key>", at + 1))
            ++records;
        EXPECT_EQ(records, size_t(3 + start)) << said();
    }
    // The whole file, as it was, for whoever wants it back.
    EXPECT_TRUE(firstStartFileText(preferences().string() + ".damaged") == original) << said();
    EXPECT_FALSE(fs::exists(preferences().string() + ".damaged-1")) << said();
}
