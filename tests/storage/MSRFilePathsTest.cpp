
#include "analytics/storage/MSRFilePaths.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;

class FilePathsTest : public StorageTest {
  protected:
    fs::path engine() { return root_ / "home/Library/Application Support/Zevure/Measurement"; }
};

TEST_F(FilePathsTest, PathsNameTheEngineFolderAndThePreferences) {
    std::vector<std::pair<std::string, fs::path>> cases = {
        {MSRSDKFilePath("db.sql"), engine() / "db.sql"},
        {MSRSDKPlistPath("x"), engine() / "x.plist"},
        {MSRSDKPlistPath("x.plist"), engine() / "x.plist"},
        {MSRSDKPlistPath("x.txt"), engine() / "x.txt.plist"},
        {MSRPreferencesPlistPath("x.plist"), root_ / "home/Library/Preferences/x.plist.plist"},
        {MSRSDKFilePath("") + MSRSDKPlistPath("") + MSRPreferencesPlistPath(""), ""},
    };
    for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected.string());
}

TEST_F(FilePathsTest, MigrationMovesOrDropsTheLegacyFile) {
    struct Case {
        const char* name;
        bool legacy, current;
        const char* survivor;  // contents left at the new path
    };
    for (Case c : {Case{"legacy only", true, false, "legacy"}, Case{"both", true, true, "current"},
                   Case{"neither", false, false, ""}}) {
        SCOPED_TRACE(c.name);
        std::string suite = std::string("suite ") + c.name;
        if (c.legacy) writeFile(MSRPreferencesPlistPath(suite), "legacy");
        if (c.current) writeFile(MSRSDKPlistPath(suite), "current");
        EXPECT_TRUE(MSRMigrateLegacyPreferencesFile(suite));
        EXPECT_FALSE(fs::exists(MSRPreferencesPlistPath(suite)));
        std::string contents;
        foundation::FileSystem::readFile(MSRSDKPlistPath(suite), contents);
        EXPECT_EQ(contents, c.survivor);
    }
    EXPECT_FALSE(MSRMigrateLegacyPreferencesFile(""));
}
