#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/FileSystem.h"
#include "platform/host/AdvertisingIdentity.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;

// Canonical upper-case text of a random (version 4, RFC 4122 variant) UUID,
// the shape the platform gives.
bool isUUID(const std::string& text) {
    if (text.size() != 36 || text[14] != '4' || std::string("89AB").find(text[19]) == std::string::npos) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) return false;
        if (!dash && std::string("0123456789ABCDEF").find(text[i]) == std::string::npos) return false;
    }
    return true;
}

class VendorIdentifierTest : public ::testing::Test {
protected:
    VendorIdentifierTest() {
        resetSharedState();
        root_.useAsHome();
    }
    fs::path file() const { return foundation::FileSystem::libraryDirectory() / "VendorIdentifier"; }

    TemporaryDataRoot root_{"vendor"};
};

TEST_F(VendorIdentifierTest, OneIdentifierPerDataRootThatSurvivesAndReplacesDamage) {
    struct Row {
        const char* name;
        std::optional<std::string> stored;  // nothing: no file
        bool kept;
    };
    const Row rows[] = {
        {"no file yet", std::nullopt, false},
        {"stored identifier", "6D92078A-8246-4BA4-AE5B-76104861E7DC\n", true},
        {"stored without line end", "6D92078A-8246-4BA4-AE5B-76104861E7DC", true},
        {"damaged", "6D92078A-8246-4BA4-AE5B", false},
        {"not a UUID", "6D92078A+8246-4BA4-AE5B-76104861E7DC", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(root_.home());
        ASSERT_TRUE(!row.stored || foundation::FileSystem::writeAtomically(file(), *row.stored));
        testing::internal::CaptureStderr();
        const auto first = host::identifierForVendor();
        const std::string console = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(first);
        // Damage is said on the console, a readable file is not.
        EXPECT_EQ(console.find("vendor identifier: " + file().string() + " is damaged; kept as ") == 0,
                  row.stored && !row.kept)
            << console;
        EXPECT_TRUE(row.kept ? *first == "6D92078A-8246-4BA4-AE5B-76104861E7DC" : isUUID(*first)) << *first;
        EXPECT_EQ(host::identifierForVendor(), first);
        std::string onDisk;
        ASSERT_TRUE(foundation::FileSystem::readFile(file(), onDisk));
        EXPECT_EQ(onDisk.substr(0, 36), *first);
        // An unreadable file is kept aside before a new identifier replaces it.
        std::string aside;
        EXPECT_EQ(foundation::FileSystem::readFile(file().string() + ".damaged", aside), row.stored && !row.kept);
        if (row.stored && !row.kept) {
            EXPECT_EQ(aside, *row.stored);
        }
    }
}

TEST_F(VendorIdentifierTest, ConcurrentFirstRequestsAgree) {
    std::vector<std::optional<std::string>> answers(8);
    std::vector<std::thread> threads;
    for (auto& answer : answers) threads.emplace_back([&answer] { answer = host::identifierForVendor(); });
    for (auto& thread : threads) thread.join();
    for (const auto& answer : answers) EXPECT_EQ(answer, answers.front());
}

}  // namespace
