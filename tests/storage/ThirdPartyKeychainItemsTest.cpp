// The keychain held to its bound (made small here): a file past it is
// salvaged with the caller's own items first, and a full one makes room for
// the caller's change by letting other services' items give way, the
// largest first, kept aside.

#include <algorithm>

#include "analytics/storage/Keychain.h"
#include "analytics/storage/MSRKeychainWrapper.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StoredFileBounds.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

namespace {

constexpr const char* kKeychainBoundApp = "app.calvaro.Calvaro";
// 15 values make an item: 20 items pass it, 19 fit beside the list.
constexpr foundation::PropertyListBounds kKeychainSmallBound{15 * 19 + 1, uint64_t{1} << 20};

Keychain::Attributes keychainBoundItem(const std::string& service, const std::string& account) {
    return {{Keychain::kClass, Value(Keychain::kClassGenericPassword)},
            {Keychain::kService, Value(service)},
            {Keychain::kAccount, Value(account)},
            {Keychain::kGeneric, Value(account)},
            {Keychain::kAccessible, Value(Keychain::kAccessibleAlwaysThisDeviceOnly)}};
}

// The file as another program writes it: the items in order, the owner's
// "_pfo" (value "7") at `ownAt`, foreign items (of `service`) of growing data (three bytes more each, four
// more in the file) between.
void writeKeychainBoundFile(const fs::path& file, size_t foreign, size_t ownAt,
                            const std::string& service = "org.example.other") {
    Value::List entries;
    auto entry = [](const Keychain::Attributes& attributes, const std::string& data) {
        Value::Dictionary item;
        item.emplace("attributes", Value(attributes));
        item.emplace("data", Value(Value::Bytes(data.begin(), data.end())));
        return Value(std::move(item));
    };
    for (size_t i = 0; i <= foreign; ++i) {
        if (i == ownAt)
            entries.push_back(
                entry(*MSRKeychainWrapper::searchDirectoryForIdentifier("_pfo", kKeychainBoundApp), "7"));
        if (i < foreign)
            entries.push_back(
                entry(keychainBoundItem(service, "a" + std::to_string(i)), std::string(10 + 3 * i, 'x')));
    }
    fs::create_directories(file.parent_path());
    fs::permissions(file.parent_path(), fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_TRUE(foundation::FileSystem::writeAtomically(file, *foundation::propertyListXml(Value(entries))));
}

size_t keychainBoundCopies(const fs::path& file) {
    size_t copies = 0;
    for (const auto& entry : fs::directory_iterator(file.parent_path()))
        copies +=
            entry.path() != file && entry.path().filename().string().rfind(file.filename().string(), 0) == 0;
    return copies;
}

class KeychainBoundTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        foundation::setStoredFileBound(Keychain::kStoredFileName, {kKeychainSmallBound, {}});
    }
    void TearDown() override {
        foundation::resetStoredFileBounds();
        StorageTest::TearDown();
    }
};

// Past the bound, wherever the owner's item lies: it is read, the file is
// kept aside as it was, and what is kept fits the bound with the smallest
// foreign items.
TEST_F(KeychainBoundTest, AKeychainPastItsBoundIsSalvagedWithTheOwnersItemsFirst) {
    const struct {
        const char* name;
        size_t foreign, ownAt;
    } rows[] = {
        {"owner's item first", 40, 0},
        {"owner's item last", 40, 40},
        {"a hundred items, the owner's in the middle", 100, 50},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Keychain keychain(root_ / row.name / "keychain.plist");
        writeKeychainBoundFile(keychain.file(), row.foreign, row.ownAt);
        testing::internal::CaptureStderr();
        EXPECT_EQ(MSRKeychainWrapper::keychainValue("_pfo", kKeychainBoundApp, &keychain), "7");
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(
            said.find("is past its bound; 19 of its " + std::to_string(row.foreign + 1) + " items kept"),
            std::string::npos)
            << said;
        EXPECT_EQ(keychainBoundCopies(keychain.file()), 1u);
        // The foreign items kept are the smallest: the first ones written.
        for (size_t i = 0; i < 18; ++i)
            EXPECT_EQ(keychain.copyMatching({{Keychain::kAccount, Value("a" + std::to_string(i))}}, nullptr),
                      Keychain::Status::kSuccess)
                << i;
        EXPECT_EQ(keychain.copyMatching({{Keychain::kAccount, Value("a18")}}, nullptr),
                  Keychain::Status::kItemNotFound);
        // And the owner's next change is taken.
        EXPECT_TRUE(MSRKeychainWrapper::upsertKeychainValue("8", "_pfo", kKeychainBoundApp, &keychain));
        EXPECT_EQ(MSRKeychainWrapper::keychainValue("_pfo", kKeychainBoundApp, &keychain), "8");
    }
}

// Exactly at the bound with foreign items: the owner's new item takes the
// place of the largest, which is kept aside; the next new one again.
TEST_F(KeychainBoundTest, AFullKeychainMakesRoomForTheOwnersItem) {
    Keychain keychain(root_ / "full" / "keychain.plist");
    writeKeychainBoundFile(keychain.file(), 19, 100);
    for (const char* identifier : {"_pfo", "_other"}) {
        SCOPED_TRACE(identifier);
        testing::internal::CaptureStderr();
        EXPECT_TRUE(MSRKeychainWrapper::upsertKeychainValue("1", identifier, kKeychainBoundApp, &keychain));
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("at its bound; 1 items of other services give way"), std::string::npos) << said;
        EXPECT_EQ(MSRKeychainWrapper::keychainValue(identifier, kKeychainBoundApp, &keychain), "1");
    }
    EXPECT_EQ(keychain.copyMatching({{Keychain::kAccount, Value("a18")}}, nullptr),
              Keychain::Status::kItemNotFound);
    EXPECT_EQ(keychain.copyMatching({{Keychain::kAccount, Value("a17")}}, nullptr),
              Keychain::Status::kItemNotFound);
    EXPECT_EQ(keychain.copyMatching({{Keychain::kAccount, Value("a16")}}, nullptr),
              Keychain::Status::kSuccess);
    // What gave way is kept, once per change.
    EXPECT_EQ(keychainBoundCopies(keychain.file()), 2u);
}

// Items of the owner's own service past the bound, "_pfo" first (the
// oldest), or filling it before "_pfo" is written: "_pfo" is what the owner
// reads and writes, and it stays; the owner's other items give way, the
// oldest first, and the message says they were its own.
TEST_F(KeychainBoundTest, TheItemTheOwnerNamesOutlastsItsOtherItems) {
    const struct {
        const char* name;
        size_t others, pfoAt;  // pfoAt past the others: no "_pfo" in the file
        const char* said;
    } rows[] = {
        {"a read past the bound", 40, 0, "(22 items of its own service app.calvaro.Calvaro gave way)"},
        {"a new item at the bound", 19, 100,
         "at its bound; 1 items of its own service app.calvaro.Calvaro give way"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Keychain keychain(root_ / row.name / "keychain.plist");
        writeKeychainBoundFile(keychain.file(), row.others, row.pfoAt, kKeychainBoundApp);
        const bool write = row.pfoAt > row.others;
        testing::internal::CaptureStderr();
        const bool written =
            !write || MSRKeychainWrapper::upsertKeychainValue("12345678", "_pfo", kKeychainBoundApp, &keychain);
        const auto value = MSRKeychainWrapper::keychainValue("_pfo", kKeychainBoundApp, &keychain);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(written);
        EXPECT_EQ(value, write ? "12345678" : "7");
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        EXPECT_EQ(said.find("other services"), std::string::npos) << said;
        // The oldest of the others went; the newest stayed.
        EXPECT_EQ(keychain.copyMatching({{Keychain::kAccount, Value("a0")}}, nullptr),
                  Keychain::Status::kItemNotFound);
        EXPECT_EQ(keychain.copyMatching({{Keychain::kAccount, Value("a" + std::to_string(row.others - 1))}},
                                        nullptr),
                  Keychain::Status::kSuccess);
    }
}

}  // namespace
