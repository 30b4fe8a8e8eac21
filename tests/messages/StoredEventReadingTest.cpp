// Stored raw events are read back through two short cuts: the simple wire
// form is read without building the message, and parameters that cleaning
// would not change are taken over without cleaning them again. Each must give
// what the full road gives: the full decode and its accessors, and cleaning
// the typed parameters as the event is made.

#include <gtest/gtest.h>

#include <limits>

#include "MessageTestSupport.h"
#include "analytics/core/model/MSRCleanEventParameters.h"
#include "analytics/core/model/MSREvent.h"
#include "analytics/core/model/MSRFoundationAdditions.h"
#include "analytics/core/support/MSRRemoteConfig.h"
#include "analytics/messages/MSRPBFlatEvent.h"

namespace {

// MSRPBEvent and MSRPBEventParam field indexes.
enum : uint32_t { kParams = 0, kName = 1, kTimestamp = 2, kPreviousTimestamp = 3 };
enum : uint32_t { kParamName = 0, kParamString = 1, kParamInt = 2, kParamFloat = 3, kParamDouble = 4, kParamNested = 5 };

struct ReadParam {
    std::string name;
    int kind;
    std::string text;
    int64_t integer;
    double real;
    friend bool operator==(const ReadParam&, const ReadParam&) = default;
};

std::vector<ReadParam> fullReading(const MSRPBEvent& event) {
    std::vector<ReadParam> out;
    for (const MSRPBEventParam& param : MSRPBGetMessageArray<MSRPBEventParam>(event, kParams)) {
        ReadParam read{MSRPBGetString(param, kParamName).value_or("?"), -1, "", 0, 0};
        if (MSRPBHasField(param, kParamString)) {
            read.kind = 0;
            read.text = MSRPBGetString(param, kParamString).value_or("?");
        } else if (MSRPBHasField(param, kParamInt)) {
            read.kind = 1;
            read.integer = MSRPBGetInt64(param, kParamInt);
        } else if (MSRPBHasField(param, kParamDouble)) {
            read.kind = 2;
            read.real = MSRPBGetDouble(param, kParamDouble);
        }
        out.push_back(read);
    }
    return out;
}

std::vector<ReadParam> flatReading(const MSRPBFlatEvent& flat) {
    std::vector<ReadParam> out;
    for (const MSRPBFlatEventParam& param : flat.params) {
        out.push_back({std::string(param.name), static_cast<int>(param.kind), std::string(param.text),
                       param.kind == MSRPBFlatEventParam::Kind::kInteger ? param.integer : 0,
                       param.kind == MSRPBFlatEventParam::Kind::kDouble ? param.real : 0});
    }
    return out;
}

// Whether the flat reader took the bytes; when it did, its answer must be the
// full decode's.
bool expectFlatMatchesFull(const Bytes& bytes, const std::string& label) {
    MSRPBFlatEvent flat;
    if (!MSRPBReadFlatEvent(bytes, flat)) return false;
    std::optional<MSRPBEvent> event = MSRPBEvent::initWithBuffer(bytes);
    EXPECT_TRUE(event) << label;
    if (!event) return true;
    EXPECT_EQ(flat.previousTimestampMillis, MSRPBGetInt64(*event, kPreviousTimestamp)) << label;
    EXPECT_EQ(flatReading(flat), fullReading(*event)) << label;
    return true;
}

MSRPBEventParam param(const char* name, const MSRPBValue& value) {
    MSRPBEventParam p;
    MSRPBSetString(p, kParamName, name);
    if (const auto* text = std::get_if<std::string>(&value)) MSRPBSetString(p, kParamString, *text);
    if (const auto* integer = std::get_if<int64_t>(&value)) MSRPBSetInt64(p, kParamInt, *integer);
    if (const auto* real = std::get_if<double>(&value)) MSRPBSetDouble(p, kParamDouble, *real);
    return p;
}

TEST(StoredEventReading, FlatReaderTakesTheSimpleFormAndAgreesWithTheFullDecode) {
    LogCapture log;
    MSRPBEventParam both = param("both", std::string("x"));
    MSRPBSetInt64(both, kParamInt, 3);
    MSRPBEventParam withFloat = param("f", 1.5);
    MSRPBSetArray(withFloat, kParamFloat, {});
    MSRPBEventParam items;
    MSRPBSetString(items, kParamName, "items");
    MSRPBSetMessageArray(items, kParamNested, std::vector<MSRPBEventParam>{param("id", std::string("a"))});
    MSRPBEventParam nameless;
    MSRPBSetInt64(nameless, kParamInt, 1);
    const struct {
        const char* label;
        std::vector<MSRPBEventParam> params;
        int64_t previous;
        bool flat;
    } cases[] = {
        {"scalars of each kind", {param("_o", std::string("app")), param("n", int64_t{-7}), param("d", -0.25),
                                  param("t", std::string("Grüße"))}, 1700000000123, true},
        {"no parameters", {}, 0, true},
        {"a parameter with two values", {param("_o", std::string("app")), both}, 0, false},
        {"a list of items", {param("_o", std::string("app")), items}, 0, false},
        {"a parameter without name", {nameless}, 0, false},
    };
    for (const auto& c : cases) {
        MSRPBEvent event;
        MSRPBSetInt64(event, kTimestamp, 1700000000999);
        if (c.previous != 0) MSRPBSetInt64(event, kPreviousTimestamp, c.previous);
        MSRPBSetMessageArray(event, kParams, c.params);
        const Bytes bytes = *event.protoBuffer();
        EXPECT_EQ(expectFlatMatchesFull(bytes, c.label), c.flat) << c.label;
    }
    // Text that is not UTF-8, a name field and a string over the decode's limit go the full way.
    const Bytes notUTF8{0x0A, 0x07, 0x0A, 0x01, 'n', 0x12, 0x02, 0xC3, 0x28};
    const Bytes named{0x12, 0x01, 'e'};
    Bytes huge{0x0A, 0x85, 0x80, 0x40, 0x0A, 0x01, 'n', 0x12, 0xFF, 0xFF, 0x3F};
    huge.resize(huge.size() + 0xFFFFF, 'x');
    for (const Bytes& bytes : {notUTF8, named, huge}) EXPECT_FALSE(expectFlatMatchesFull(bytes, "odd form"));
}

TEST(StoredEventReading, FlatReaderAgreesOnMutatedBytes) {
    LogCapture log;
    MSRPBEvent event;
    MSRPBSetInt64(event, kTimestamp, 1700000000999);
    MSRPBSetInt64(event, kPreviousTimestamp, 1690000000000);
    MSRPBSetMessageArray(event, kParams,
                         std::vector<MSRPBEventParam>{param("_o", std::string("app")), param("steps", int64_t{12}),
                                                      param("a", 2.5), param("form", std::string("log"))});
    const Bytes encoded = *event.protoBuffer();
    uint64_t state = 0x9E3779B97F4A7C15ull;
    int taken = 0;
    for (int round = 0; round < 4000; ++round) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        Bytes mutated = encoded;
        const size_t at = state % mutated.size();
        if (round % 2 == 0) {
            mutated[at] ^= static_cast<uint8_t>(1u << ((state >> 32) % 8));
        } else {
            mutated[at] = static_cast<uint8_t>(state >> 40);
        }
        taken += expectFlatMatchesFull(mutated, "mutation " + std::to_string(round));
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(taken, 0);
}

MSRParameters numbered(const char* prefix, int count) {
    MSRParameters parameters;
    for (int i = 0; i < count; ++i) parameters.emplace(prefix + std::to_string(i), MSRValue(int64_t{i}));
    return parameters;
}

TEST(StoredEventReading, StoredParametersEndAsCleaningLeavesThem) {
    LogCapture log;
    const auto limit = static_cast<size_t>(MSRRemoteConfig::defaultInstance()->maxInternalEventParameterValueLength());
    const std::string longText(limit + 1, 'x');
    MSRParameters tooMany = numbered("p", 110);  // default parameters laid over a full event
    tooMany.emplace("_sn", MSRValue("Calculate"));
    const struct {
        const char* label;
        const char* name;
        MSRParameters parameters;
        bool needsCleaning;
    } cases[] = {
        {"plain", "kal_calculate", {{"a", MSRValue(int64_t{1})}, {"b", MSRValue("x")}, {"c", MSRValue(2.5)}}, false},
        {"none", "kal_calculate", {}, false},
        {"long text on a public event", "kal_calculate", {{"t", MSRValue(longText)}}, false},
        {"as many custom ones as allowed", "kal_calculate", numbered("p", 100), false},
        {"more custom ones than allowed", "kal_calculate", tooMany, true},
        {"name with a dash", "kal_calculate", {{"a-b", MSRValue(int64_t{1})}, {"ok", MSRValue(int64_t{2})}}, true},
        {"non-ASCII letters", "kal_calculate", {{"größe", MSRValue(int64_t{1})}}, true},
        {"name over 40 characters", "kal_calculate", {{std::string(41, 'n'), MSRValue(int64_t{1})}}, true},
        {"long text on an internal event", "_e", {{"t", MSRValue(longText)}, {"u", MSRValue("ok")}}, true},
        {"long error value", "kal_calculate", {{"_ev", MSRValue(longText)}, {"_err", MSRValue(int64_t{4})}}, true},
        {"cut error value", "kal_calculate",
         {{"_ev", MSRValue(std::string(limit, 'v') + "...")}, {"_err", MSRValue(int64_t{4})}}, true},
        {"conversion without currency", "purchase", {{"_c", MSRValue(int64_t{1})}, {"value", MSRValue(3.0)}}, false},
        {"item list", "purchase", {{"items", MSRValue(MSRValueList{{{"item_id", MSRValue("a")}}})}}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MSRStoredParametersNeedCleaning(c.parameters, c.name), c.needsCleaning) << c.label;
        std::optional<MSREvent> stored =
            MSREvent::initWithStoredParameters("app", c.name, 1700000000.5, 1690000000.25, c.parameters);
        std::optional<MSREvent> cleaned = MSREvent::initWithOrigin("app", false, c.name, 1700000000.5, 1690000000.25,
                                                                   MSRObjectsFromParameters(c.parameters));
        ASSERT_TRUE(stored && cleaned) << c.label;
        EXPECT_EQ(stored->parameters(), cleaned->parameters()) << c.label;
        EXPECT_EQ(stored->origin(), cleaned->origin()) << c.label;
        EXPECT_EQ(stored->previousTimestamp(), cleaned->previousTimestamp()) << c.label;
    }
    EXPECT_FALSE(MSREvent::initWithStoredParameters("app", "bad name", 1, 0, {})) << "the name is still checked";
}

}  // namespace

namespace {

// The wire form of an event through the checked setters, as a reference.
MSRPBEvent wireFormBySetters(const MSREvent& event) {
    auto scalar = [](const std::string& name, const MSRValue& value) {
        MSRPBEventParam param;
        if (!name.empty()) MSRPBSetString(param, kParamName, name);
        if (value.isString()) MSRPBSetString(param, kParamString, *value.stringValue());
        if (value.isInt64()) MSRPBSetInt64(param, kParamInt, value.int64Value());
        if (value.isDouble()) MSRPBSetDouble(param, kParamDouble, value.doubleValue());
        return param;
    };
    MSRPBEvent proto;
    MSRPBSetString(proto, kName, event.name());
    MSRPBSetInt64(proto, kTimestamp, MSRMillisecondsFromSeconds(event.timestamp()));
    if (event.previousTimestamp() > std::numeric_limits<double>::epsilon())
        MSRPBSetInt64(proto, kPreviousTimestamp, MSRMillisecondsFromSeconds(event.previousTimestamp()));
    std::vector<MSRPBEventParam> params;
    for (const auto& [name, value] : event.parameters()) {
        if (!value.isArray()) {
            params.push_back(scalar(name, value));
            continue;
        }
        std::vector<MSRPBEventParam> items;
        for (const MSRParameters& item : *value.arrayValue()) {
            std::vector<MSRPBEventParam> entries;
            for (const auto& [itemName, itemValue] : item) {
                if (!itemValue.isArray()) entries.push_back(scalar(itemName, itemValue));
            }
            MSRPBEventParam wireItem;
            MSRPBSetMessageArray(wireItem, kParamNested, entries);
            items.push_back(wireItem);
        }
        MSRPBEventParam param;
        MSRPBSetString(param, kParamName, name);
        MSRPBSetMessageArray(param, kParamNested, items);
        params.push_back(param);
    }
    MSRPBSetMessageArray(proto, kParams, params);
    return proto;
}

TEST(StoredEventReading, WireFormIsTheCheckedSettersOne) {
    LogCapture log;
    const MSRValueList items{{{"item_id", MSRValue("a")}, {"price", MSRValue(2.5)}, {"quantity", MSRValue(int64_t{2})}},
                             {}};
    const struct {
        const char* name;
        double previous;
        MSRObjectDictionary parameters;
    } cases[] = {
        {"kal_calculate", 0, {{"steps", foundation::Value(12)}, {"form", foundation::Value("log")},
                              {"a", foundation::Value(-2.5)}}},
        {"purchase", 1690000000.125, {{"items", MSRValue(items)}, {"currency", foundation::Value("EUR")},
                                      {"value", foundation::Value(5.0)}}},
        {"_e", 1e-300, {}},
    };
    for (const auto& c : cases) {
        std::optional<MSREvent> event = MSREvent::initWithOrigin("app", false, c.name, 1700000000.5, c.previous,
                                                                 c.parameters);
        ASSERT_TRUE(event) << c.name;
        EXPECT_EQ(event->protoEvent().protoBuffer(), wireFormBySetters(*event).protoBuffer()) << c.name;
    }
}

}  // namespace
