// How a stored raw event's parameters are read back: which value field wins,
// what a repeated name does and which parameters refuse the whole row.

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

enum : uint32_t { kParamName = 0, kParamString = 1, kParamInt = 2, kParamDouble = 4, kParamNested = 5 };

struct Param {
    std::optional<std::string> name;
    std::optional<std::string> text;
    std::optional<int64_t> integer;
    std::optional<double> real;
    std::vector<Param> nested;
};

MSRPBEventParam wire(const Param& p) {
    MSRPBEventParam out;
    if (p.name) MSRPBSetString(out, kParamName, *p.name);
    if (p.text) MSRPBSetString(out, kParamString, *p.text);
    if (p.integer) MSRPBSetInt64(out, kParamInt, *p.integer);
    if (p.real) MSRPBSetDouble(out, kParamDouble, *p.real);
    std::vector<MSRPBEventParam> children;
    for (const Param& child : p.nested) children.push_back(wire(child));
    if (!children.empty()) MSRPBSetMessageArray(out, kParamNested, std::move(children));
    return out;
}

MSRSqliteRow row(const std::vector<Param>& params) {
    std::vector<MSRPBEventParam> all = {wire({"_o", "app", {}, {}, {}})};
    for (const Param& p : params) all.push_back(wire(p));
    MSRPBEvent event;
    MSRPBSetMessageArray(event, 0, std::move(all));
    return {{"rowid", int64_t{1}},
            {"data", *event.protoBuffer()},
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
