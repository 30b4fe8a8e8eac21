// Stored raw events are read back through short cuts: the simple wire form is
// read without building the message, parameters that cleaning would not change
// are taken over without cleaning them again, and an event rebuilt from its
// stored bytes is written without its object. Each must give what the full
// road gives: the full decode and its accessors, cleaning the typed
// parameters as the event is made, and the event object's own wire form.

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "MessageTestSupport.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSREvent.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRRemoteConfig.h"
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

// An event rebuilt from its stored bytes, with its name and times added, is
// encoded byte for byte as the event object's own wire form.
TEST(StoredEventReading, MatchesTheEventObjectsWireForm) {
    struct Case {
        const char* title;
        std::string name;
        double timestamp;
        double previous;
        MSRObjectDictionary parameters;
    };
    MSRObjectDictionary many;
    for (int i = 0; i < 20; ++i) many.emplace("p" + std::to_string(i), foundation::Value(std::string(30, 'a' + i)));
    const Case cases[] = {
        {"no parameters but the origin", "_s", 1772445600.5, 0, {}},
        {"every kind of value",
         "level_up",
         1772445600.123,
         1772445000.25,
         {{"text", foundation::Value("logarithmic")},
          {"zero", foundation::Value(0)},
          {"negative", foundation::Value(-1)},
          {"largest", foundation::Value(std::numeric_limits<int64_t>::max())},
          {"smallest", foundation::Value(std::numeric_limits<int64_t>::min())},
          {"half", foundation::Value(0.5)},
          {"negative_zero", foundation::Value(-0.0)},
          {"tiny", foundation::Value(std::numeric_limits<double>::denorm_min())},
          {"empty", foundation::Value("")}}},
        {"texts and events longer than one length byte", "kal_calculate", 1.0, 0.0005,
         {{"long", foundation::Value(std::string(100, 'x'))}}},
        {"a parameter list longer than two length bytes", "share", 1772445600, 1772445599.999, many},
        {"a time before 1970", "_e", -5.5, 0, {{"_et", foundation::Value(30)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        std::optional<MSREvent> event =
            MSREvent::initWithOrigin("app", false, c.name, c.timestamp, c.previous, c.parameters);
        ASSERT_TRUE(event);
        // The stored form: the event's wire form without its name.
        MSRPBEvent stored = event->protoEvent();
        MSRPBClearField(stored, 1);
        const std::vector<uint8_t> storedBytes = *stored.protoBuffer();
        MSRPBFlatEvent flat;
        ASSERT_TRUE(MSRPBReadFlatEvent(storedBytes, flat));

        std::optional<int64_t> previous;
        if (c.previous > 0) previous = MSRMillisecondsFromSeconds(c.previous);
        EXPECT_EQ(flat.previousTimestampMillis, previous.value_or(0));
        std::vector<uint8_t> rebuilt = {0x7F};  // appended after what is there
        MSRPBAppendFlatEventEncoding(flat.params, c.name, MSRMillisecondsFromSeconds(c.timestamp), previous,
                                     rebuilt);
        std::vector<uint8_t> expected = {0x7F};
        const std::vector<uint8_t> wire = *event->protoEvent().protoBuffer();
        expected.insert(expected.end(), wire.begin(), wire.end());
        EXPECT_EQ(rebuilt, expected);

        // The engine's own bytes hold their parameters as the encoding
        // writes them, and copying them gives the same.
        EXPECT_TRUE(flat.hasEncodedParams);
        std::vector<uint8_t> copied = {0x7F};
        MSRPBAppendFlatEventEncoding(flat, c.name, MSRMillisecondsFromSeconds(c.timestamp), previous, copied);
        EXPECT_EQ(copied, expected);
    }
}

// Bytes written otherwise than the encoding writes them are not copied: the
// parameters are written afresh.
TEST(StoredEventReading, OtherWritingsOfTheSameParametersAreWrittenAfresh) {
    // "_o" = "app" and "n" = 5, as the encoding writes them.
    const std::vector<uint8_t> origin = {0x0A, 0x09, 0x0A, 0x02, '_', 'o', 0x12, 0x03, 'a', 'p', 'p'};
    const std::vector<uint8_t> number = {0x0A, 0x05, 0x0A, 0x01, 'n', 0x18, 0x05};
    const auto join = concat;
    const std::vector<uint8_t> timestamp = {0x18, 0x01};
    struct Case {
        const char* title;
        std::vector<uint8_t> bytes;
        bool copied;
    };
    const Case cases[] = {
        {"as written", join({origin, number, timestamp}), true},
        {"no parameters", timestamp, true},
        {"value before name", join({origin, {0x0A, 0x05, 0x18, 0x05, 0x0A, 0x01, 'n'}}), false},
        {"a length written in two bytes", join({origin, {0x0A, 0x85, 0x00, 0x0A, 0x01, 'n', 0x18, 0x05}}), false},
        {"an integer written in two bytes", join({origin, {0x0A, 0x06, 0x0A, 0x01, 'n', 0x18, 0x85, 0x00}}), false},
        {"a parameter after the time", join({origin, timestamp, number}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        MSRPBFlatEvent flat;
        ASSERT_TRUE(MSRPBReadFlatEvent(c.bytes, flat));
        EXPECT_EQ(flat.hasEncodedParams, c.copied);
        std::vector<uint8_t> fromEvent, fromParams;
        MSRPBAppendFlatEventEncoding(flat, "e", 7, std::nullopt, fromEvent);
        MSRPBAppendFlatEventEncoding(flat.params, "e", 7, std::nullopt, fromParams);
        EXPECT_EQ(fromEvent, fromParams);
        if (c.copied) {
            EXPECT_TRUE(std::equal(flat.encodedParams.begin(), flat.encodedParams.end(), c.bytes.begin()));
        }
    }
}

}  // namespace
