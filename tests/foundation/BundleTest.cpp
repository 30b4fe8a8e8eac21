#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/StringsFile.h"

namespace fs = std::filesystem;

TEST(StringsFile, ParsesEntriesCommentsAndEscapes) {
    auto parsed = foundation::parseStringsFile(
        "\xEF\xBB\xBF/* translators' note */\n"
        "\"Step\" = \"Schritt\";\n"
        "// line comment\n"
        "\"quote \\\"x\\\"\"=\"a\\\\b\\nc\";  \"pi\" = \"\\U03C0\";");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->at("Step"), "Schritt");
    EXPECT_EQ(parsed->at("quote \"x\""), "a\\b\nc");
    EXPECT_EQ(parsed->at("pi"), "\xCF\x80");
}

TEST(StringsFile, RefusesMalformedTables) {
    for (const char* text : {"\"a\" = \"b\"", "\"a\" \"b\";", "/* open", "\"a\" = \"b", "a = \"b\";",
                             "\"a\" = \"\\U12\";"}) {
        EXPECT_FALSE(foundation::parseStringsFile(text)) << text;
    }
    EXPECT_TRUE(foundation::parseStringsFile("  \n// nothing\n"));
}

class BundleTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("calvaro-bundle-" + std::to_string(::getpid()));
        fs::create_directories(root_ / "en.lproj");
        fs::create_directories(root_ / "de.lproj");
        std::ofstream(root_ / "en.lproj" / "Localizable.strings") << "\"Step\" = \"Step\"; \"Zero\" = \"Zero\";";
        std::ofstream(root_ / "de.lproj" / "Localizable.strings") << "\"Step\" = \"Schritt\";";
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

TEST_F(BundleTest, LooksUpLanguageThenEnglishThenKey) {
    foundation::Bundle german(root_, "de");
    EXPECT_EQ(german.localizedString("Step"), "Schritt");
    EXPECT_EQ(german.localizedString("Zero"), "Zero");
    EXPECT_EQ(german.localizedString("Asymptote"), "Asymptote");
    EXPECT_EQ(german.localizedString("Asymptote", "Fallback"), "Fallback");

    foundation::Bundle unknown(root_, "fr");
    EXPECT_EQ(unknown.localizedString("Step"), "Step");
}

TEST_F(BundleTest, DamagedTableFallsBackInsteadOfFailing) {
    std::ofstream(root_ / "de.lproj" / "Localizable.strings") << "\"Step\" = ";
    foundation::Bundle german(root_, "de");
    EXPECT_EQ(german.localizedString("Step"), "Step");
}

TEST(Bundle, MainBundleFindsTheShippedResources) {
    EXPECT_TRUE(fs::is_directory(foundation::Bundle::main().resourcePath() / "en.lproj"));
}
