// What a real start of `calvaro` writes to the data root's property-list
// files stands, key by key, as the table of stored file bounds states it:
// every value has its key's type and fits its bound, and each family of
// the owner's keys holds no more than its share. A value Calvaro writes
// that the table does not know, or types otherwise, would stand as foreign
// and give way first at the next salvage.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/StoredFileBounds.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StoredFileBounds.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/SpawnInGroup.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/support/TestPaths.h"

namespace {

namespace fs = std::filesystem;
using foundation::PropertyListBounds;
using foundation::Value;

// The name a file's bound is stated under: its domain, or the standard
// domain's stand-in for the application's own preferences.
std::string storedValuesBoundName(const fs::path& file) {
    const std::string stem = file.stem().string();
    return stem == "org.calvaro.Calvaro" ? foundation::kStandardDomainBoundName : stem;
}

TEST(StoredValuesAfterStart, EveryValueAStartWritesStandsAsTheTableStatesIt) {
    TemporaryDataRoot root("stored-values");
    const fs::path home = root.path() / "home";
    // A user who has accepted the consent, walked the tour and rated.
    fs::create_directories(home / "Library/Preferences");
    std::ofstream(home / "Library/Preferences/org.calvaro.Calvaro.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>isDsgvoAccepted</key><true/>"
           "<key>isOnboardingFinished</key><true/><key>isRatingAlreadyDone</key><true/></dict></plist>";
    const fs::path script = root.path() / "script.txt";
    std::ofstream(script) << "tap aTextField\ntype 3\ntap bTextField\ntype 2\ntap calculateButton\nwait 1\n";
    const pid_t pid = calvaro::test::spawnInGroup(
        {CALVARO_EXECUTABLE, "--home", home.string(), "--script", script.string()}, root.path() / "out.txt",
        root.path() / "err.txt");
    ASSERT_GT(pid, 0);
    std::string said;
    const int status = calvaro::test::waitForGroup(pid, std::chrono::seconds(kUnderAddressSanitizer ? 400 : 120));
    foundation::FileSystem::readFile(root.path() / "err.txt", said);
    ASSERT_EQ(status, 0) << said;

    app::stateStoredFileBounds();
    size_t files = 0, values = 0;
    for (const auto& found : fs::recursive_directory_iterator(home)) {
        if (found.path().extension() != ".plist") continue;
        const auto bound = foundation::storedFileBound(storedValuesBoundName(found.path()));
        ASSERT_TRUE(bound) << found.path() << " has no stated bound";
        std::string bytes;
        ASSERT_TRUE(foundation::FileSystem::readFile(found.path(), bytes));
        const auto read = foundation::parsePropertyList(bytes);
        ASSERT_TRUE(read && read->dictionary()) << found.path();
        ++files;
        std::vector<PropertyListBounds> shares(bound->shares.size(), PropertyListBounds{0, 0});
        for (const auto& [key, value] : *read->dictionary()) {
            SCOPED_TRACE(found.path().filename().string() + ": " + key + " = " + value.jsonText());
            ++values;
            EXPECT_LT(bound->standing(key, value), 2);
            if (const auto family = bound->sharedFamily(key); family && bound->standing(key) == 1) {
                const foundation::PropertyListSize size = foundation::propertyListSize(value, 1);
                shares[*family].values += size.values + 1;
                shares[*family].bytes +=
                    size.bytes + foundation::plistxml::keyBytes(1, foundation::plistxml::escapedLength(key));
            }
        }
        for (size_t f = 0; f < shares.size(); ++f) {
            const auto& [family, share] = bound->shares[f];
            std::printf("%s: %s holds %llu of %llu values, %llu of %llu bytes\n", found.path().filename().c_str(),
                        family.c_str(), static_cast<unsigned long long>(shares[f].values),
                        static_cast<unsigned long long>(share.values), static_cast<unsigned long long>(shares[f].bytes),
                        static_cast<unsigned long long>(share.bytes));
            EXPECT_LE(shares[f].values, share.values) << family;
            EXPECT_LE(shares[f].bytes, share.bytes) << family;
        }
    }
    // The application's preferences, the engine's suites and its dictionary.
    EXPECT_GE(files, 4u) << said;
    EXPECT_GT(values, 10u) << said;
    foundation::resetStoredFileBounds();
}

}  // namespace
