#include <filesystem>
#include <fstream>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StringsFile.h"
#include "tests/foundation/TempFolder.h"

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
    for (const char* text :
         {"\"a\" = \"b\"", "\"a\" \"b\";", "/* open", "\"a\" = \"b", "a = \"b\";", "\"a\" = \"\\U12\";"}) {
        EXPECT_FALSE(foundation::parseStringsFile(text)) << text;
    }
    EXPECT_TRUE(foundation::parseStringsFile("  \n// nothing\n"));
}

class BundleTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        fs::create_directories(root_ / "en.lproj");
        fs::create_directories(root_ / "de.lproj");
        std::ofstream(root_ / "en.lproj" / "Localizable.strings")
            << "\"Step\" = \"Step\"; \"Zero\" = \"Zero\";";
        std::ofstream(root_ / "de.lproj" / "Localizable.strings") << "\"Step\" = \"Schritt\";";
    }
};

TEST_F(BundleTest, LooksUpLanguageThenEnglishThenKey) {
    foundation::Bundle german(root_, "de");
    EXPECT_EQ(german.localizedString("Step"), "Schritt");
    EXPECT_EQ(german.localizedString("Zero"), "Zero");
    EXPECT_EQ(german.localizedString("Asymptote", "Fallback"), "Fallback");
    EXPECT_EQ(foundation::Bundle(root_, "fr").localizedString("Step"), "Step");
    // A damaged table falls back instead of failing.
    std::ofstream(root_ / "de.lproj" / "Localizable.strings") << "\"Step\" = ";
    EXPECT_EQ(foundation::Bundle(root_, "de").localizedString("Step"), "Step");
}

TEST_F(BundleTest, ResourcesByNameAndInfoPlistValues) {
    std::ofstream(root_ / "RemoteConfigDefaults.json") << R"({"apps": [1, 2]})";
    std::ofstream(root_ / "broken.json") << R"({"apps": )";
    std::ofstream(root_ / "de.lproj" / "onlyGerman.json") << "[]";
    std::ofstream(root_ / "Info.plist") << *foundation::propertyListXml(foundation::Value::Dictionary{
        {"CFBundleIdentifier", "org.example.test"}, {"ZEVURE_ANALYTICS_TCF_DATA_ENABLED", false}});
    std::ofstream(root_ / ".." / "outside.json") << "[]";

    foundation::Bundle german(root_, "de");
    auto defaults = german.jsonResource("RemoteConfigDefaults");
    ASSERT_TRUE(defaults);
    EXPECT_EQ((*defaults)["apps"], foundation::Value(foundation::Value::List{1, 2}));
    EXPECT_FALSE(german.jsonResource("broken"));
    EXPECT_TRUE(german.jsonResource("onlyGerman"));
    EXPECT_FALSE(foundation::Bundle(root_, "en").jsonResource("onlyGerman"));
    EXPECT_FALSE(german.pathForResource("../outside", "json"));
    EXPECT_EQ(german.bundleIdentifier(), "org.example.test");
    EXPECT_EQ(german.objectForInfoDictionaryKey("ZEVURE_ANALYTICS_TCF_DATA_ENABLED").boolValue(), false);
    EXPECT_FALSE(foundation::Bundle(root_ / "nowhere", "en").bundleIdentifier());
    fs::remove(root_ / ".." / "outside.json");
}
