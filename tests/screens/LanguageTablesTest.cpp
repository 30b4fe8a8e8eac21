// Both languages say everything. A text missing from the German tables is
// not noticed on the screen: the look-up falls back to the English one, so
// a German reader meets English. Only these tests see it.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "platform/foundation/StringsFile.h"

namespace {

namespace fs = std::filesystem;

using LanguageTable = std::map<std::string, std::string>;

// The table `name` of `language`; none when it has no such file, an empty
// table with a failure when the file does not parse.
std::optional<LanguageTable> languageTable(const std::string& language, const std::string& name) {
    const fs::path path = fs::path(calvaro::test::sourcePath("Calvaro/resources")) / (language + ".lproj") / (name + ".strings");
    if (!fs::exists(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    auto table = foundation::parseStringsFile(bytes.str());
    EXPECT_TRUE(table) << path;
    return table.value_or(LanguageTable{});
}

// The names of the string tables of either language.
std::set<std::string> languageTableNames() {
    std::set<std::string> names;
    for (const char* language : {"en", "de"})
        for (const auto& entry : fs::directory_iterator(fs::path(calvaro::test::sourcePath("Calvaro/resources")) / (std::string(language) + ".lproj")))
            if (entry.path().extension() == ".strings") names.insert(entry.path().stem().string());
    return names;
}

// The platform's own tables are keyed by their English texts: English lists
// only the texts a person reads differently from a script, and a key missing
// there shows itself, which is the English text. Every other table is keyed
// by names, which no reader should ever see.
bool keyedByEnglishText(const std::string& table) { return table == "Refusals" || table == "ShareSheet"; }

TEST(LanguageTablesTest, EveryTextHasBothLanguages) {
    const std::set<std::string> names = languageTableNames();
    ASSERT_TRUE(names.count("Localizable")) << "the tables were not found";
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const auto english = languageTable("en", name);
        const auto german = languageTable("de", name);
        ASSERT_TRUE(german) << "German has no table " << name;
        if (!keyedByEnglishText(name)) {
            ASSERT_TRUE(english) << "English has no table " << name;
        }
        for (const auto& [key, text] : english.value_or(LanguageTable{})) {
            EXPECT_FALSE(text.empty()) << "English \"" << key << "\" is empty";
            EXPECT_TRUE(german->count(key)) << "German lacks \"" << key << "\"";
        }
        for (const auto& [key, text] : *german) {
            EXPECT_FALSE(text.empty()) << "German \"" << key << "\" is empty";
            if (!keyedByEnglishText(name)) {
                EXPECT_TRUE(english->count(key)) << "English lacks \"" << key << "\"";
            }
        }
    }
}

}  // namespace
