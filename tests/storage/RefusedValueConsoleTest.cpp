// A refused preference value is the caller's text: on the console its
// control characters are written escaped, never sent to the terminal.

#include <functional>
#include <string>
#include <vector>

#include "analytics/storage/MSRPersistentDictionary.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

class RefusedValueConsoleTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        MSRConsoleLogger::shared().setSink([this](const std::string& line) { lines_.push_back(line); });
    }
    std::vector<std::string> lines_;
};

// The bytes a terminal may act on: C0 controls, DEL, and the C1 controls
// as UTF-8 writes them (U+0080 to U+009F); "" when there is none.
std::string firstControlIn(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        const auto next = i + 1 < line.size() ? static_cast<unsigned char>(line[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7f || (byte == 0xc2 && next >= 0x80 && next <= 0x9f))
            return "a control at byte " + std::to_string(i);
    }
    return "";
}

// A list with a null has no property-list form and is refused, with the
// value on the console: its text's DEL, C1 CSI (an escape sequence's start
// on some terminals), ESC and newline come out escaped, whichever store
// refuses it.
TEST_F(RefusedValueConsoleTest, ControlCharactersOfARefusedValueAreEscaped) {
    using foundation::Value;
    const Value refused(Value::List{Value("del\x7f csi\xc2\x9b" "2J esc\x1b[31m line\nend"), Value::null()});
    MSRUserDefaults defaults("refusing");
    auto dictionary = MSRPersistentDictionary::create("refusing");
    ASSERT_TRUE(dictionary);
    struct Store {
        const char* name;
        int64_t code;
        std::function<void()> set;
    };
    const Store stores[] = {
        {"user defaults", 41003, [&] { defaults.setObject(refused, "k"); }},
        {"persistent dictionary", 43003, [&] { dictionary->setObject(refused, "k"); }},
    };
    for (const Store& store : stores) {
        SCOPED_TRACE(store.name);
        lines_.clear();
        store.set();
        ASSERT_EQ(lines_.size(), 1u);
        const std::string& line = lines_[0];
        EXPECT_NE(line.find("I-MSR0" + std::to_string(store.code)), std::string::npos) << line;
        EXPECT_EQ(firstControlIn(line), "") << line;
        // Each shows as the characters it is: the text is still readable.
        for (const char* shown : {"del\\x7f", "csi\\u{9b}2J"})
            EXPECT_NE(line.find(shown), std::string::npos) << shown << " in " << line;
    }
}

}  // namespace
