// Where the engine keeps its files, and who may read them.

#include <sys/stat.h>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistentDictionary.h"
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

// Whatever the umask, the engine's folders and every file its storage makes
// there (the database, its journals, a damaged copy, the persisted
// dictionary) are the owner's alone; folders and files older versions left
// open are narrowed.
TEST_F(FilePathsTest, TheEngineFilesAreOwnerOnlyWhateverTheUmask) {
    const mode_t previous = umask(0);
    fs::create_directories(engine());
    fs::permissions(engine(), fs::perms::all);
    writeFile(engine() / "old.sql", "");
    fs::permissions(engine() / "old.sql", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                              fs::perms::others_read);
    ASSERT_TRUE(MSRSqliteStore::create(MSRSDKFilePath("old.sql"), nullptr));

    auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    ASSERT_TRUE(database);
    ASSERT_TRUE(database->updateRemoteConfigSuccessfulTimestamp(1, nullptr));
    auto dictionary = MSRPersistentDictionary::create("owner.only");
    ASSERT_TRUE(dictionary);
    dictionary->setObject(foundation::Value("x"), "key");
    ASSERT_TRUE(dictionary->persistToDisk());
    // A damaged database set aside keeps its mode.
    writeFile(engine() / "torn.sql", "");
    ASSERT_TRUE(MSRSqliteStore::create(MSRSDKFilePath("torn.sql"), nullptr)->executeSQL("CREATE TABLE t (a)", nullptr));
    {
        std::fstream file(engine() / "torn.sql", std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096) << std::string(4096, '\x5a');
    }
    ASSERT_TRUE(MSRSqliteStore::create(MSRSDKFilePath("torn.sql"), nullptr));
    umask(previous);

    std::vector<std::string> found;
    for (const fs::path& folder : {engine().parent_path(), engine()}) {
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
    }
    for (const auto& entry : fs::directory_iterator(engine())) {
        found.push_back(entry.path().filename().string());
        EXPECT_EQ(entry.status().permissions(), fs::perms::owner_read | fs::perms::owner_write) << entry.path();
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"old.sql", "owner.only.plist", "torn.sql", "torn.sql.damaged-1",
                                               "zevure-app-measurement.sql", "zevure-app-measurement.sql-shm",
                                               "zevure-app-measurement.sql-wal"}));
}
