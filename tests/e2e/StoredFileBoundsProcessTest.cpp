// `calvaro` over preferences files that its readers take but that once froze
// or filled the file: a date past the writer's range (every start exited 1,
// every change lost), and a file at the values bound made of one string
// referenced a million times (every change refused). Three starts, each
// solving an exercise: the consent stays, the history holds the three
// exercises, and each start stays small.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "tests/e2e/FirstStartProcess.h"
#include "tests/e2e/SolvingStart.h"
#include "tests/support/BinaryPropertyListBytes.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;

// A usual start holds about 25 MB. Under AddressSanitizer its shadow comes on
// top, and its quarantine keeps up to 256 MiB of what was freed (twice over
// with its headers): a start that reads a file past its bound and salvages
// it frees much.
constexpr long kBoundsPeakKilobytes = kUnderAddressSanitizer ? 768 * 1024 : 100 * 1024;

const std::vector<std::string> kBoundsSettledKeys{"didSeedExampleCalculation", "isDsgvoAccepted",
                                                  "isOnboardingFinished", "isRatingAlreadyDone"};

// The settled keys, true, and `last` under "lastVisit".
std::string boundsXmlWithDate(const std::string& date) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (const auto& key : kBoundsSettledKeys) xml += "\t<key>" + key + "</key>\n\t<true/>\n";
    return xml + "\t<key>lastVisit</key>\n\t<date>" + date + "</date>\n</dict>\n</plist>\n";
}

// A binary dictionary of the settled keys, true, and `extra` under the key
// `extraKey`; `extraObjects` are the objects `extra` refers to, numbered
// from 2 + 2 * keys.
std::string boundsBinary(const std::string& extraKey, const std::string& extra,
                         const std::vector<std::string>& extraObjects = {}) {
    const uint64_t keys = kBoundsSettledKeys.size() + 1;
    std::vector<uint64_t> refs;
    for (uint64_t i = 0; i < keys; ++i) refs.push_back(1 + i);
    for (uint64_t i = 0; i + 1 < keys; ++i) refs.push_back(1 + keys);
    refs.push_back(2 + keys);
    std::vector<std::string> objects{binaryPropertyListMarker(0xD, keys) + binaryPropertyListRefs(refs, 1)};
    for (const auto& key : kBoundsSettledKeys) objects.push_back(binaryPropertyListMarker(0x5, key.size()) + key);
    objects.push_back(binaryPropertyListMarker(0x5, extraKey.size()) + extraKey);
    objects.push_back("\x09");
    objects.push_back(extra);
    for (const auto& object : extraObjects) objects.push_back(object);
    return binaryPropertyListFile(objects, 1);
}

std::string boundsBinaryDate(double since2001) {
    uint64_t bits;
    std::memcpy(&bits, &since2001, sizeof bits);
    std::string date = "\x33";
    for (int b = 7; b >= 0; --b) date += static_cast<char>((bits >> (8 * b)) & 0xFF);
    return boundsBinary("lastVisit", date);
}

// "flags": a list of `copies` references to one string, so that the file is
// charged exactly the values bound of 1,048,576 (the dictionary, its five
// keys and values, the list and its items).
std::string boundsSharedStrings() {
    constexpr uint64_t kCopies = (uint64_t{1} << 20) - 1 - 2 * 5 - 1 + 1;
    const uint64_t stringObject = 2 + 5 + 1;
    return boundsBinary("flags",
                        binaryPropertyListMarker(0xA, kCopies) +
                            binaryPropertyListRefs(std::vector<uint64_t>(kCopies, stringObject), 1),
                        {binaryPropertyListMarker(0x5, 8) + "12345678"});
}

}  // namespace

class StoredFileBoundsProcessTest : public PreferencesFileStartTest {
  protected:
    StoredFileBoundsProcessTest() : PreferencesFileStartTest("stored-file-bounds") {}

    // How often the starts so far said a preferences file was past the
    // preferences' own values bound (262,144: four times the history's, as
    // the application states it), and set it aside.
    size_t setAsideAtTheOwnBound() const {
        const std::string text = said();
        const std::string told = "is past the reader's bounds (more than 262144 values); kept as";
        size_t count = 0;
        for (size_t at = text.find(told); at != std::string::npos; at = text.find(told, at + 1)) ++count;
        return count;
    }

    // Three starts over `file`, each solving one exercise; `setAside` of
    // them find it past the preferences' own bound.
    void threeStarts(const std::string& file, size_t setAside = 0) {
        const size_t setAsideBefore = setAsideAtTheOwnBound();
        freshHome(file);
        for (int start = 1; start <= 3; ++start) {
            SCOPED_TRACE("start " + std::to_string(start));
            const SolvingStart run = solveOnceAndStop(root.path(), home(), std::chrono::seconds(240));
            ASSERT_TRUE(run.shown) << run.seconds << " s" << said();
            EXPECT_NE(run.status, -1) << said();
            EXPECT_GT(run.peakKilobytes, 0);
            EXPECT_LT(run.peakKilobytes, kBoundsPeakKilobytes) << said();
            std::printf("start %d: %ld kB at most, first screen after %.2f s\n", start, run.peakKilobytes,
                        run.seconds);
            const std::string live = firstStartFileText(preferences());
            for (const auto& key : kBoundsSettledKeys) {
                const size_t at = live.find("<key>" + key + "</key>");
                ASSERT_NE(at, std::string::npos) << key << said();
                EXPECT_EQ(live.find_first_not_of("\t\n", at + key.size() + 11), live.find("<true/>", at)) << key;
            }
            size_t records = 0;
            for (size_t at = live.find("<key>latexString</key>"); at != std::string::npos;
                 at = live.find("<key>latexString</key>", at + 1))
                ++records;
            EXPECT_EQ(records, size_t(start)) << said();
        }
        // Counted, not only seen in the memory the starts held.
        EXPECT_EQ(setAsideAtTheOwnBound() - setAsideBefore, setAside) << said();
    }

};

// A file of the settled keys and a date of 1900 (309 bytes), one of 2100, and
// binary dates that are not a number or lie a million years on.
TEST_F(StoredFileBoundsProcessTest, ADatePastTheWritersRangeTakesEveryChange) {
    const struct {
        const char* name;
        std::string file;
    } rows[] = {
        {"xml 1900", boundsXmlWithDate("1900-01-01T00:00:00Z")},
        {"xml 2100", boundsXmlWithDate("2100-01-01T00:00:00Z")},
        {"binary not a number", boundsBinaryDate(std::numeric_limits<double>::quiet_NaN())},
        {"binary 1e12", boundsBinaryDate(1e12)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + ", " + std::to_string(row.file.size()) + " bytes");
        threeStarts(row.file);
    }
}

// 1,048,564 references to one string, charged the readers' values bound
// exactly: past what Calvaro writes to its preferences, and with no room for
// a change.
TEST_F(StoredFileBoundsProcessTest, AFileAtTheValuesBoundTakesTheUsersChanges) {
    const std::string file = boundsSharedStrings();
    SCOPED_TRACE(std::to_string(file.size()) + " bytes");
    // The first start sets it aside at the preferences' own bound, far below
    // the readers'; the next ones read what it kept.
    threeStarts(file, 1);
}
