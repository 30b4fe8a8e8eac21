#include <sys/stat.h>
#include <unistd.h>

#include "analytics/storage/Keychain.h"
#include "analytics/storage/MSRKeychainWrapper.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

namespace {

constexpr const char* kApp = "app.calvaro.Calvaro";

Value::Bytes bytes(const std::string& text) {
    return Value::Bytes(text.begin(), text.end());
}

class KeychainTest : public StorageTest {};

TEST_F(KeychainTest, ValuesOutliveTheApplicationsFiles) {
    ASSERT_TRUE(MSRKeychainWrapper::upsertKeychainValue("3", "_pfo", kApp));
    ASSERT_TRUE(MSRKeychainWrapper::upsertKeychainValue("4", "_pfo", kApp));
    struct stat info {};
    ASSERT_EQ(stat(Keychain::defaultFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    fs::remove_all(root_ / "home");
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("_pfo", kApp), "4");
    MSRKeychainWrapper::deleteKeychainValue("_pfo", kApp);
    EXPECT_FALSE(MSRKeychainWrapper::keychainValue("_pfo", kApp));
}

TEST_F(KeychainTest, BadArgumentsTouchNothing) {
    ASSERT_TRUE(MSRKeychainWrapper::upsertKeychainValue("kept", "id", kApp));
    for (auto [value, identifier, app] : {std::tuple{"", "id", kApp}, {"x", "", kApp}, {"x", "id", ""}}) {
        EXPECT_FALSE(MSRKeychainWrapper::upsertKeychainValue(value, identifier, app));
        if (*identifier == '\0' || *app == '\0') MSRKeychainWrapper::deleteKeychainValue(identifier, app);
    }
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("id", kApp), "kept");
}

TEST_F(KeychainTest, AnItemThatDoesNotReadAsTextCanBeReplaced) {
    Keychain keychain;
    ASSERT_EQ(keychain.add(*MSRKeychainWrapper::searchDirectoryForIdentifier("id", kApp), {0xff, 0xfe}),
              Keychain::Status::kSuccess);
    EXPECT_FALSE(MSRKeychainWrapper::keychainValue("id", kApp, &keychain));
    EXPECT_TRUE(MSRKeychainWrapper::upsertKeychainValue("fresh", "id", kApp, &keychain));
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("id", kApp, &keychain), "fresh");
}

TEST_F(KeychainTest, ItemsWithAttributesInBytesAreRewrittenAsTextBeforeTheFirstRead) {
    Keychain keychain(root_ / "old-keychain.plist");
    ASSERT_EQ(keychain.add({{Keychain::kClass, Value(Keychain::kClassGenericPassword)},
                            {Keychain::kService, Value(kApp)},
                            {Keychain::kAccount, Value(bytes("id"))},
                            {Keychain::kGeneric, Value(bytes("id"))}},
                           bytes("7")),
              Keychain::Status::kSuccess);
    EXPECT_TRUE(MSRKeychainWrapper::isMigrationNeeded("id", kApp, &keychain));
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("id", kApp, &keychain), "7");
    EXPECT_FALSE(MSRKeychainWrapper::isMigrationNeeded("id", kApp, &keychain));
}

TEST_F(KeychainTest, ADamagedKeychainFileIsNeitherReadNorOverwritten) {
    Keychain keychain(root_ / "damaged.plist");
    writeFile(keychain.file(), "not a property list");
    testing::internal::CaptureStderr();
    EXPECT_EQ(keychain.add({{Keychain::kService, Value("s")}}, bytes("v")), Keychain::Status::kIOError);
    EXPECT_EQ(keychain.copyMatching({{Keychain::kService, Value("s")}}, nullptr), Keychain::Status::kIOError);
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(console.find("keychain: " + keychain.file().string() + " is damaged"), 0u) << console;
    EXPECT_EQ(console.find("is damaged", console.find('\n')), std::string::npos) << "said once: " << console;
    std::string contents;
    ASSERT_TRUE(foundation::FileSystem::readFile(keychain.file(), contents));
    EXPECT_EQ(contents, "not a property list");
}

// A keychain folder beside the data root that another user made first, and
// filled, is neither read nor written.
TEST_F(KeychainTest, AKeychainFolderOfAnotherUserIsNeitherReadNorWritten) {
    const fs::path folder = root_ / "planted.keychain";
    Keychain planted(folder / "keychain.plist");
    ASSERT_EQ(planted.add(*MSRKeychainWrapper::searchDirectoryForIdentifier("id", kApp), bytes("planted")),
              Keychain::Status::kSuccess);
    if (::geteuid() != 0 || ::chown(folder.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "needs root to give it away";
    fs::permissions(folder, fs::perms::all);
    Keychain keychain(folder / "keychain.plist");
    EXPECT_FALSE(MSRKeychainWrapper::keychainValue("id", kApp, &keychain));
    EXPECT_FALSE(MSRKeychainWrapper::upsertKeychainValue("mine", "other", kApp, &keychain));
    std::string contents;
    ASSERT_TRUE(foundation::FileSystem::readFile(keychain.file(), contents));
    EXPECT_EQ(contents.find("other"), std::string::npos);
}

}  // namespace
