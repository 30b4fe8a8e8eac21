// Stored raw events are read back through two short cuts: the simple wire
// form is read without building the message, and parameters that cleaning
// would not change are taken over without cleaning them again. Each must give
// what the full road gives: the full decode and its accessors, and cleaning
// the typed parameters as the event is made.

#include <gtest/gtest.h>

#include "MessageTestSupport.h"
#include "analytics/core/model/MSRCleanEventParameters.h"
#include "analytics/core/model/MSREvent.h"
#include "analytics/core/support/MSRRemoteConfig.h"
#include "analytics/messages/MSRPBFlatEvent.h"
#include "tests/storage/StoredEventBytes.h"

namespace {

// MSRPBEvent and MSRPBEventParam field indexes.
enum : uint32_t { kParams = 0, kPreviousTimestamp = 3 };
enum : uint32_t { kParamName = 0, kParamString = 1, kParamInt = 2, kParamDouble = 4 };

// A parameter as (name, kind, text, integer, double): kind 0 text, 1 integer, 2 double.
using ReadParam = std::tuple<std::string, int, std::string, int64_t, double>;

// Whether the flat reader took the bytes; when it did, its answer must be
// what the full decode and the accessors give.
bool expectFlatMatchesFull(const Bytes& bytes, const std::string& label) {
    MSRPBFlatEvent flat;
    if (!MSRPBReadFlatEvent(bytes, flat)) return false;
    std::optional<MSRPBEvent> event = MSRPBEvent::initWithBuffer(bytes);
    EXPECT_TRUE(event) << label;
    if (!event) return true;
    std::vector<ReadParam> full;
    for (const MSRPBEventParam& param : MSRPBGetMessageArray<MSRPBEventParam>(*event, kParams)) {
        const int kind = MSRPBHasField(param, kParamString) ? 0 : MSRPBHasField(param, kParamInt) ? 1 : 2;
        full.emplace_back(MSRPBGetString(param, kParamName).value_or("?"), kind,
                          MSRPBGetString(param, kParamString).value_or(""), MSRPBGetInt64(param, kParamInt),
                          MSRPBGetDouble(param, kParamDouble));
    }
    std::vector<ReadParam> read;
    for (const MSRPBFlatEventParam& param : flat.params) {
        read.emplace_back(std::string(param.name), static_cast<int>(param.kind), std::string(param.text),
                          param.integer, param.real);
    }
    EXPECT_EQ(read, full) << label;
    EXPECT_EQ(flat.previousTimestampMillis, MSRPBGetInt64(*event, kPreviousTimestamp)) << label;
    return true;
}

Bytes eventBytes(const std::vector<StoredParam>& params, int64_t previous) {
    return storedEventBytes(params, previous, 1700000000999);
}

TEST(StoredEventReading, FlatReaderTakesOnlyTheSimpleFormAndAgreesWithTheFullDecode) {
    LogCapture log;
    const StoredParam twoValues = {"both", "x", 3};
    const StoredParam items = {"items", {}, {}, {}, {{"id", "a"}}};  // a name and no value of its own
    const StoredParam origin = {"_o", "app"};
    Bytes huge{0x0A, 0x85, 0x80, 0x40, 0x0A, 0x01, 'n', 0x12, 0xFF, 0xFF, 0x3F};
    huge.resize(huge.size() + 0xFFFFF, 'x');
    const struct {
        const char* label;
        Bytes bytes;
        bool flat;
    } cases[] = {
        {"scalars of each kind",
         eventBytes({origin, {"n", {}, -7}, {"d", {}, {}, -0.25}, {"t", "Grüße"}},
                    1700000000123),
         true},
        {"no parameters", eventBytes({}, 0), true},
        {"a parameter with two values", eventBytes({origin, twoValues}, 0), false},
        {"a list of items", eventBytes({origin, items}, 0), false},
        {"a parameter without name", eventBytes({{std::nullopt, {}, 1}}, 0), false},
        {"text that is not UTF-8", {0x0A, 0x07, 0x0A, 0x01, 'n', 0x12, 0x02, 0xC3, 0x28}, false},
        {"an event name", {0x12, 0x01, 'e'}, false},
        {"a text over the decode's limit", huge, false},
    };
    for (const auto& c : cases) EXPECT_EQ(expectFlatMatchesFull(c.bytes, c.label), c.flat) << c.label;

    // Whatever mutated bytes it takes, it reads as the full decode does.
    const Bytes encoded = cases[0].bytes;
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int round = 0; round < 4000 && !::testing::Test::HasFailure(); ++round)
        expectFlatMatchesFull(mutated(encoded, state, round), "mutation " + std::to_string(round));
}

MSRParameters numbered(int count) {
    MSRParameters parameters;
    for (int i = 0; i < count; ++i) parameters.emplace("p" + std::to_string(i), MSRValue(int64_t{i}));
    return parameters;
}

TEST(StoredEventReading, StoredParametersEndAsCleaningLeavesThem) {
    LogCapture log;
    const auto limit =
        static_cast<size_t>(MSRRemoteConfig::defaultInstance()->maxInternalEventParameterValueLength());
    const std::string longText(limit + 1, 'x');
    MSRParameters tooMany = numbered(110);  // default parameters laid over a full event
    tooMany.emplace("_sn", MSRValue("Calculate"));
    const struct {
        const char* label;
        const char* name;
        MSRParameters parameters;
        bool needsCleaning;
    } cases[] = {
        {"plain",
         "kal_calculate",
         {{"a", MSRValue(int64_t{1})}, {"b", MSRValue("x")}, {"c", MSRValue(2.5)}},
         false},
        {"none", "kal_calculate", {}, false},
        {"long text on a public event", "kal_calculate", {{"t", MSRValue(longText)}}, false},
        {"as many custom ones as allowed", "kal_calculate", numbered(100), false},
        {"more custom ones than allowed", "kal_calculate", tooMany, true},
        {"name with a dash",
         "kal_calculate",
         {{"a-b", MSRValue(int64_t{1})}, {"ok", MSRValue(int64_t{2})}},
         true},
        {"non-ASCII letters", "kal_calculate", {{"größe", MSRValue(int64_t{1})}}, true},
        {"name over 40 characters", "kal_calculate", {{std::string(41, 'n'), MSRValue(int64_t{1})}}, true},
        {"long text on an internal event", "_e", {{"t", MSRValue(longText)}, {"u", MSRValue("ok")}}, true},
        {"long error value",
         "kal_calculate",
         {{"_ev", MSRValue(longText)}, {"_err", MSRValue(int64_t{4})}},
         true},
        {"cut error value",
         "kal_calculate",
         {{"_ev", MSRValue(std::string(limit, 'v') + "...")}, {"_err", MSRValue(int64_t{4})}},
         true},
        {"conversion without currency",
         "purchase",
         {{"_c", MSRValue(int64_t{1})}, {"value", MSRValue(3.0)}},
         false},
        {"item list", "purchase", {{"items", MSRValue(MSRValueList{{{"item_id", MSRValue("a")}}})}}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MSRStoredParametersNeedCleaning(c.parameters, c.name), c.needsCleaning) << c.label;
        std::optional<MSREvent> stored =
            MSREvent::initWithStoredParameters("app", c.name, 1700000000.5, 1690000000.25, c.parameters);
        std::optional<MSREvent> cleaned = MSREvent::initWithOrigin(
            "app", false, c.name, 1700000000.5, 1690000000.25, MSRObjectsFromParameters(c.parameters));
        ASSERT_TRUE(stored && cleaned) << c.label;
        EXPECT_EQ(stored->parameters(), cleaned->parameters()) << c.label;
        EXPECT_EQ(std::tuple(stored->origin(), stored->previousTimestamp()),
                  std::tuple(cleaned->origin(), cleaned->previousTimestamp()))
            << c.label;
    }
    EXPECT_FALSE(MSREvent::initWithStoredParameters("app", "bad name", 1, 0, {}))
        << "the name is still checked";
}

}  // namespace
