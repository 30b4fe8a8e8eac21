// A binary preferences file a byte past the read bound, its consent behind
// 64 MiB of padding: a start salvages the consent through a window of the
// file. Beside the start's peak, a count that does not depend on how memory
// is measured: the bytes the process read, which a start that held the file
// whole (or read it again for each object) multiplies.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/SolvingStart.h"
#include "tests/support/BinaryPropertyListBytes.h"

namespace {

// What a start over that file may read: its salvage reads the trailer, the
// offset table and the few objects it walks, a few MiB at most with what a
// start reads besides; the file whole is 64 MiB.
constexpr long long kLargeBinaryReadBound = 16LL << 20;

// A binary root dictionary of "pad", a data object of `padding` bytes, then
// the consent's three keys (true), so that the consent lies past the pad.
std::string largeBinaryPreferences(uint64_t padding) {
    const std::vector<std::string> keys{"pad", "isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone"};
    // Objects: the dictionary, its keys, the pad, true.
    const uint64_t pad = 1 + keys.size(), yes = pad + 1;
    const std::vector<uint64_t> refs{1, 2, 3, 4, pad, yes, yes, yes};
    std::vector<std::string> objects{binaryPropertyListMarker(0xD, keys.size()) + binaryPropertyListRefs(refs, 4)};
    for (const auto& key : keys) objects.push_back(binaryPropertyListMarker(0x5, key.size()) + key);
    objects.push_back(binaryPropertyListMarker(0x4, padding) + std::string(padding, 'p'));
    objects.push_back("\x09");
    return binaryPropertyListFile(objects, 4);
}

class LargeBinaryPreferencesReadProcessTest : public PreferencesFileStartTest {
  protected:
    LargeBinaryPreferencesReadProcessTest() : PreferencesFileStartTest("large-binary-read") {}
};

TEST_F(LargeBinaryPreferencesReadProcessTest, AStartReadsAWindowOfTheFileNotTheFileWhole) {
    const uint64_t target = (uint64_t{64} << 20) + 1;
    const std::string file = largeBinaryPreferences(target - (largeBinaryPreferences(100).size() - 100));
    ASSERT_EQ(file.size(), target);
    freshHome(file);
    const SolvingStart run = solveOnceAndStop(root.path(), home(), std::chrono::seconds(240));
    ASSERT_TRUE(run.shown) << run.seconds << " s" << said();
    std::printf("the start read %lld bytes and held %ld kB at most\n", run.readBytes, run.peakKilobytes);
    EXPECT_GE(run.readBytes, 0) << said();
    EXPECT_LT(run.readBytes, kLargeBinaryReadBound) << said();
    // The consent was found behind the pad and written back as it was.
    const std::string live = firstStartFileText(preferences()), tag = "<key>isDsgvoAccepted</key>";
    const size_t at = live.find(tag);
    ASSERT_NE(at, std::string::npos) << said();
    EXPECT_EQ(live.find_first_not_of("\t\n", at + tag.size()), live.find("<true/>", at)) << said();
}

}  // namespace
