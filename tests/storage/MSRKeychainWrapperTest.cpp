#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "analytics/storage/Keychain.h"
#include "analytics/storage/MSRKeychainWrapper.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

namespace {

constexpr const char* kApp = "app.calvaro.Calvaro";

class KeychainTest : public StorageTest {
  protected:
    Value::Bytes bytes(const std::string& text) { return Value::Bytes(text.begin(), text.end()); }
};

TEST_F(KeychainTest, ValuesOutliveTheApplicationsFiles) {
    ASSERT_TRUE(MSRKeychainWrapper::upsertKeychainValue("3", "_pfo", kApp));
    ASSERT_TRUE(MSRKeychainWrapper::upsertKeychainValue("4", "_pfo", kApp));
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("_pfo", kApp), "4");

    fs::path file = Keychain::defaultFile();
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(file.string().starts_with((root_ / "home/Library").string()));

    fs::remove_all(root_ / "home/Library");
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("_pfo", kApp), "4");
    Keychain::Item item;
    ASSERT_EQ(Keychain().copyMatching(*MSRKeychainWrapper::searchDirectoryForIdentifier("_pfo", kApp), &item),
              Keychain::Status::kSuccess);
    EXPECT_EQ(item.attributes.at(Keychain::kAccessible), Value(Keychain::kAccessibleAlwaysThisDeviceOnly));

    MSRKeychainWrapper::deleteKeychainValue("_pfo", kApp);
    EXPECT_FALSE(MSRKeychainWrapper::keychainValue("_pfo", kApp));
}

TEST_F(KeychainTest, BadArgumentsTouchNothing) {
    ASSERT_TRUE(MSRKeychainWrapper::upsertKeychainValue("kept", "id", kApp));
    struct Case {
        std::string value, identifier, app;
    };
    for (const Case& c : {Case{"", "id", kApp}, Case{"x", "", kApp}, Case{"x", "id", ""}}) {
        EXPECT_FALSE(MSRKeychainWrapper::upsertKeychainValue(c.value, c.identifier, c.app));
        EXPECT_FALSE(MSRKeychainWrapper::isMigrationNeeded(c.identifier, c.app));
    }
    EXPECT_FALSE(MSRKeychainWrapper::keychainValue("", kApp));
    MSRKeychainWrapper::deleteKeychainValue("id", "");
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("id", kApp), "kept");
}

TEST_F(KeychainTest, AnItemThatDoesNotReadAsTextCanBeReplaced) {
    Keychain keychain;
    auto query = *MSRKeychainWrapper::searchDirectoryForIdentifier("id", kApp);
    ASSERT_EQ(keychain.add(query, Value::Bytes{0xff, 0xfe}), Keychain::Status::kSuccess);
    EXPECT_FALSE(MSRKeychainWrapper::keychainValue("id", kApp, &keychain));
    EXPECT_TRUE(MSRKeychainWrapper::upsertKeychainValue("fresh", "id", kApp, &keychain));
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("id", kApp, &keychain), "fresh");
}

TEST_F(KeychainTest, ItemsWithAttributesInBytesAreRewrittenAsTextBeforeTheFirstRead) {
    Keychain keychain(root_ / "old-keychain.plist");
    Keychain::Attributes old = {{Keychain::kClass, Value(Keychain::kClassGenericPassword)},
                                {Keychain::kService, Value(kApp)},
                                {Keychain::kAccount, Value(bytes("id"))},
                                {Keychain::kGeneric, Value(bytes("id"))}};
    ASSERT_EQ(keychain.add(old, bytes("7")), Keychain::Status::kSuccess);
    EXPECT_TRUE(MSRKeychainWrapper::isMigrationNeeded("id", kApp, &keychain));
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("id", kApp, &keychain), "7");
    EXPECT_FALSE(MSRKeychainWrapper::isMigrationNeeded("id", kApp, &keychain));
}

TEST_F(KeychainTest, ADamagedKeychainFileIsNeitherReadNorOverwritten) {
    Keychain keychain(root_ / "damaged.plist");
    {
        std::ofstream out(keychain.file());
        out << "not a property list";
    }
    EXPECT_EQ(keychain.add({{Keychain::kService, Value("s")}}, bytes("v")), Keychain::Status::kIOError);
    std::string contents;
    ASSERT_TRUE(foundation::FileSystem::readFile(keychain.file(), contents));
    EXPECT_EQ(contents, "not a property list");
}

}  // namespace
