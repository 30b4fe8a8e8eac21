// The German texts speak to the reader as "du" throughout. "Sie", "Ihnen" or
// "Ihr..." where no sentence begins reads as the formal address, a sentence
// that goes on after a colon included ("...: Sie endet auf ...").

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/foundation/StringsFile.h"

namespace {

namespace fs = std::filesystem;

// The first formal word of `text` that does not begin a sentence, or "".
std::string formalAddressIn(const std::string& text) {
    static const std::set<std::string> kFormal{"Sie", "Ihnen", "Ihr", "Ihre", "Ihrem", "Ihren", "Ihrer", "Ihres"};
    // Bytes of UTF-8 sequences count as letters: "Sieb" and "Sieß" are no "Sie".
    auto letter = [](unsigned char c) { return std::isalpha(c) || c >= 0x80; };
    for (size_t at = 0; at < text.size();) {
        if (!letter(static_cast<unsigned char>(text[at]))) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text.size() && letter(static_cast<unsigned char>(text[end]))) ++end;
        if (kFormal.count(text.substr(at, end - at))) {
            const size_t before = text.find_last_not_of(' ', at == 0 ? std::string::npos : at - 1);
            const bool beginsSentence = at == 0 || before == std::string::npos ||
                                        std::string_view(".!?").find(text[before]) != std::string_view::npos;
            if (!beginsSentence) return text.substr(at, end - at);
        }
        at = end;
    }
    return "";
}

TEST(GermanAddress, EveryGermanTextSaysDu) {
    size_t texts = 0;
    for (const auto& entry : fs::directory_iterator(calvaro::test::sourcePath("Calvaro/resources/de.lproj"))) {
        if (entry.path().extension() != ".strings") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const auto table = foundation::parseStringsFile(bytes.str());
        ASSERT_TRUE(table) << entry.path();
        for (const auto& [key, text] : *table) {
            ++texts;
            EXPECT_EQ(formalAddressIn(text), "") << entry.path().filename() << ": \"" << key << "\" = \"" << text << "\"";
        }
    }
    EXPECT_GT(texts, 50u) << "the German tables were not found";
}

}  // namespace
