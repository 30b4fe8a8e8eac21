#include <gtest/gtest.h>

#include <fstream>

#include "analytics/storage/MSRFilePaths.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;

namespace {

class FilePathsTest : public StorageTest {
  protected:
    fs::path engine() { return root_ / "home/Library/Application Support/Zevure/Measurement"; }
};

TEST_F(FilePathsTest, PathsNameTheEngineFolderAndThePreferences) {
    struct Case {
        std::string actual;
        fs::path expected;
    };
    std::vector<Case> cases = {
        {MSRSDKFilePath("db.sql"), engine() / "db.sql"},
        {MSRSDKPlistPath("x"), engine() / "x.plist"},
        {MSRSDKPlistPath("x.plist"), engine() / "x.plist"},
        {MSRSDKPlistPath("x.txt"), engine() / "x.txt.plist"},
        {MSRPreferencesPlistPath("x.plist"), root_ / "home/Library/Preferences/x.plist.plist"},
        {MSRSDKFilePath(""), ""},
        {MSRSDKPlistPath(""), ""},
        {MSRPreferencesPlistPath(""), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected.string());
}

TEST_F(FilePathsTest, BackupExclusionNeedsAFile) {
    MSRError error;
    EXPECT_FALSE(MSRExcludePathFromBackup((root_ / "missing").string(), &error));
    EXPECT_NE(error.code(), 0);
    std::ofstream(root_ / "present") << "x";
    EXPECT_TRUE(MSRExcludePathFromBackup((root_ / "present").string(), nullptr));
    EXPECT_TRUE(MSRIsPathExcludedFromBackup((root_ / "present").string()));
    EXPECT_FALSE(MSRDeleteFileAtPath("", &error));
    EXPECT_EQ(error.localizedDescription(), "Received empty path for deleting file");
}

TEST_F(FilePathsTest, MigrationMovesOrDropsTheLegacyFile) {
    struct Case {
        const char* name;
        bool legacy;
        bool current;
        const char* survivor;  // contents left at the new path
    };
    for (Case c : {Case{"legacy only", true, false, "legacy"}, Case{"both", true, true, "current"},
                   Case{"neither", false, false, nullptr}}) {
        SCOPED_TRACE(c.name);
        std::string suite = std::string("suite ") + c.name;
        fs::create_directories(root_ / "home/Library/Preferences");
        fs::create_directories(engine());
        if (c.legacy) std::ofstream(MSRPreferencesPlistPath(suite)) << "legacy";
        if (c.current) std::ofstream(MSRSDKPlistPath(suite)) << "current";
        EXPECT_TRUE(MSRMigrateLegacyPreferencesFile(suite));
        EXPECT_FALSE(fs::exists(MSRPreferencesPlistPath(suite)));
        if (c.survivor) {
            std::ifstream in(MSRSDKPlistPath(suite));
            std::string contents;
            in >> contents;
            EXPECT_EQ(contents, c.survivor);
        } else {
            EXPECT_FALSE(fs::exists(MSRSDKPlistPath(suite)));
        }
    }
    EXPECT_FALSE(MSRMigrateLegacyPreferencesFile(""));
}

}  // namespace
