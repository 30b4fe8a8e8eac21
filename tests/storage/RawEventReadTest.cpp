// How a stored raw event's parameters are read back: which value field wins,
// what a repeated name does and which parameters refuse the whole row.

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

using Param = StoredParam;

MSRSqliteRow row(const std::vector<Param>& params) {
    std::vector<Param> all = {{"_o", "app"}};
    all.insert(all.end(), params.begin(), params.end());
    return {{"rowid", int64_t{1}},
            {"data", storedEventBytes(all)},
            {"metadata_fingerprint", int64_t{7}},
            {"name", std::string("kal_calculate")},
            {"timestamp", 100.0}};
}

using RawEventReadTest = OpenDatabaseTest;

TEST_F(RawEventReadTest, ParametersReadBackByTheFirstSetValueField) {
    const MSRValueList item = {{{"id", MSRValue("sku")}}};
    struct Case {
        const char* what;
        std::vector<Param> params;
        std::optional<MSRValue> expected;  // of "p"; nothing: the row is refused
    };
    const Case cases[] = {
        {"text wins over a number", {{"p", "t", 3, 1.5, {}}}, MSRValue("t")},
        {"integer wins over a double", {{"p", {}, 3, 1.5, {}}}, MSRValue(int64_t{3})},
        {"double alone", {{"p", {}, {}, 1.5, {}}}, MSRValue(1.5)},
        {"a later scalar replaces an earlier one", {{"p", "a", {}, {}, {}}, {"p", {}, 9, {}, {}}},
         MSRValue(int64_t{9})},
        {"a later list replaces a scalar",
         {{"p", "a", {}, {}, {}}, {"p", {}, {}, {}, {{{}, {}, {}, {}, {{"id", "sku", {}, {}, {}}}}}}},
         MSRValue(item)},
        {"text that is not UTF-8", {{"p", std::string("\xff\xfe"), {}, {}, {}}}, std::nullopt},
        {"nameless parameter", {{std::nullopt, "t", {}, {}, {}}}, std::nullopt},
        {"no value at all", {{"p", {}, {}, {}, {}}}, std::nullopt},
    };
    for (const Case& c : cases) {
        const MSRSqliteRow stored = row(c.params);
        MSRError error;
        std::optional<MSRRawEventData> read = database_->rawEventDataFromDictionary(&stored, &error);
        if (!c.expected) {
            EXPECT_FALSE(read) << c.what;
            EXPECT_EQ(error.localizedDescription(), "Failed to parse event params from data") << c.what;
            continue;
        }
        ASSERT_TRUE(read) << c.what;
        const MSRParameters& parameters = read->rawEvent().parameters();
        ASSERT_TRUE(parameters.contains("p")) << c.what;
        EXPECT_EQ(parameters.at("p"), *c.expected) << c.what;
        EXPECT_EQ(parameters.at("_o"), MSRValue("app")) << c.what;
    }
}

}  // namespace
