#include "MonitorHarness.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSREvent.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/model/MSRRawEventData.h"
#include "analytics/model/MSRUserAttribute.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using foundation::Value;

MSRValue I(int64_t v) {
    return MSRValue(v);
}
MSRValue S(std::string v) {
    return MSRValue(std::move(v));
}

std::vector<uint8_t> bytes(const NANOMessageBase& message) {
    return message.protoBuffer().value_or(std::vector<uint8_t>{});
}

MSREvent purchase() {
    Value::List items{
        Value(Value::Dictionary{{"item_id", Value("sku-1")}, {"price", Value(2.5)}, {"quantity", Value(2)}}),
        Value(Value::Dictionary{{"item_id", Value("sku-2")}, {"item_name", Value("Ökonomie 漢字")}})};
    return *MSREvent::initWithOrigin("app", true, "purchase", 1'700'000'000.25, 1'699'999'000.5,
                                     {{"value", Value(9.99)},
                                      {"currency", Value("EUR")},
                                      {"coupon", Value("Ünïcödé")},
                                      {"flag", Value(true)},
                                      {"count", Value(-42)},
                                      {"items", Value(std::move(items))}});
}

}  // namespace

TEST(EventModelTest, ValuesKeepTheirKindWithoutConversion) {
    MonitorHarness h;
    EXPECT_EQ(MSRValue::valueFromObject(Value(3))->valueType(), MSRValue::kInt64);
    EXPECT_EQ(MSRValue::valueFromObject(Value(1.0))->valueType(), MSRValue::kDouble);
    EXPECT_EQ(MSRValue::valueFromObject(Value(true)), I(1));
    EXPECT_FALSE(MSRValue::valueFromObject(Value(Value::List{})));
    EXPECT_TRUE(MSRValue::valueFromObject(Value(Value::List{}), true));
    EXPECT_FALSE(MSRValue::valueFromObject(Value()));
    EXPECT_FALSE(MSRValue::valueFromObject(Value::null()));
    EXPECT_EQ(S("3").int64Value(), 0);
    EXPECT_EQ(I(3).doubleValue(), 0.0);
    EXPECT_NE(I(1), MSRValue(1.0));
}

TEST(EventModelTest, EventsRoundTripThroughTheWireFormWithoutLoss) {
    MonitorHarness h;
    const MSREvent event = purchase();
    EXPECT_EQ(event.parameters().at("_o"), S("app"));
    EXPECT_EQ(event.parameters().at("flag"), I(1));

    const MSRPBEvent proto = event.protoEvent();
    std::optional<MSRPBEvent> decoded = MSRPBEvent::initWithBuffer(bytes(proto));
    ASSERT_TRUE(decoded);
    std::optional<MSREvent> back = MSREvent::initWithEventProto(*decoded);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tuple(back->origin(), back->name()), std::tuple("app", "purchase"));
    EXPECT_EQ(back->timestamp(), event.timestamp());
    EXPECT_EQ(back->previousTimestamp(), event.previousTimestamp());
    EXPECT_EQ(back->parameters(), event.parameters());
    EXPECT_EQ(bytes(back->protoEvent()), bytes(proto));
    EXPECT_EQ(MSRCountArrayItems(*back), 2);
}

TEST(EventModelTest, WireFormOfTimesAndOrigins) {
    MonitorHarness h;
    struct Case {
        double timestamp;
        double previous;
        int64_t millis;
        std::optional<int64_t> previousMillis;
    };
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    const Case cases[] = {
        {1.5, 0, 1500, std::nullopt},
        {1.5, 1e-17, 1500, std::nullopt},
        {-1.0009, 0.001, -1000, 1},
        // Times far beyond the 64-bit millisecond range saturate.
        {1e300, 9.3e15, kMax, kMax},
        {-1e300, 0, std::numeric_limits<int64_t>::min(), std::nullopt},
    };
    for (const Case& c : cases) {
        std::optional<MSREvent> event =
            MSREvent::initWithOrigin("auto", false, "_e", c.timestamp, c.previous, {});
        ASSERT_TRUE(event);
        const MSRPBEvent proto = event->protoEvent();
        EXPECT_EQ(MSRPBGetInt64(proto, 2), c.millis) << c.timestamp;
        EXPECT_EQ(MSRPBHasField(proto, 3), c.previousMillis.has_value()) << c.previous;
        if (c.previousMillis) {
            EXPECT_EQ(MSRPBGetInt64(proto, 3), *c.previousMillis);
        }
    }
    // Times that are not numbers are refused rather than converted.
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(MSREvent::initWithOrigin("auto", false, "_e", bad, 0, {}));
        EXPECT_FALSE(MSREvent::initWithOrigin("auto", false, "_e", 1, bad, {}));
    }
    EXPECT_EQ(MSRSaturatingInt64(std::nan("")), 0);
    EXPECT_EQ(MSRMillisecondsFromSeconds(9.3e15), kMax);

    // Without a text "_o" the wire form gives no event.
    MSRPBEvent proto = purchase().protoEvent();
    MSRPBEventParam origin;
    MSRPBSetString(origin, 0, "_o");
    MSRPBSetInt64(origin, 2, 7);
    MSRPBSetMessageArray(proto, 0, std::vector<MSRPBEventParam>{origin});
    EXPECT_FALSE(MSREvent::initWithEventProto(proto));
    MSRPBSetMessageArray(proto, 0, std::vector<MSRPBEventParam>{});
    EXPECT_FALSE(MSREvent::initWithEventProto(proto));
}

TEST(EventModelTest, ConstructionChecksOriginNameAndFlags) {
    MonitorHarness h;
    struct Case {
        const char* origin;
        bool isPublic;
        const char* name;
        bool made;
    };
    const Case cases[] = {
        {"app", true, "_vs", false}, {"app", false, "_vs", true}, {"app+etm", true, "x", true}, {"", false, "x", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(MSREvent::initWithOrigin(c.origin, c.isPublic, c.name, 1, 0, {}).has_value(), c.made)
            << c.origin << " " << c.name;
    }

    EXPECT_FALSE(MSREvent::initWithOrigin("app", false, "_vs", 10, 20, {{"_r", Value("yes")}})->isRealtime());

    // A conversion whose value lacks a currency loses the value and stays unmarked.
    MSREvent sale = *MSREvent::initWithOrigin("app", true, "sale", 1, 0, {{"value", Value(5)}});
    sale.setConversion(true);
    EXPECT_FALSE(sale.isConversion());
    EXPECT_FALSE(sale.parameters().contains("value"));
    EXPECT_EQ(sale.parameters().at("_err"), I(19));
    MSREvent paid = *MSREvent::initWithOrigin("app", true, "sale", 1, 0,
                                              {{"value", Value(5)}, {"currency", Value("EUR")}});
    paid.setConversion(false);
    EXPECT_EQ(paid.parameters().at("_err"), I(10));
    paid.setConversion(true);
    EXPECT_TRUE(paid.isConversion());
    EXPECT_FALSE(paid.parameters().contains("_err"));

    // Defaults go under the event's own values.
    MSREvent withDefaults = *MSREvent::initWithOrigin("app", true, "kal", 1, 0, {{"a", Value(1)}});
    withDefaults.applyParameters({{"a", Value(2)}, {"b", Value(3)}, {"za_bad", Value(4)}});
    EXPECT_EQ(withDefaults.parameters().at("a"), I(1));
    EXPECT_EQ(withDefaults.parameters().at("b"), I(3));
    EXPECT_FALSE(withDefaults.parameters().contains("za_bad"));
}

TEST(EventModelTest, ScreenParametersAreAddedOnlyOnce) {
    MonitorHarness h;
    MSREvent event = *MSREvent::initWithOrigin("auto", false, "_e", 1, 0, {});
    EXPECT_FALSE(event.addScreenParameters({{"_sc", Value("Calc")}}));
    EXPECT_FALSE(event.addScreenParameters({{"_si", Value("7")}}));
    EXPECT_FALSE(event.addScreenParameters({{"_si", Value(7)}, {"_sn", Value("")}}));
    EXPECT_TRUE(
        event.addScreenParameters({{"_si", Value(7)}, {"_sc", MSRValue("Calc")}, {"_sn", Value("Main")}}));
    EXPECT_EQ(MSRExtractScreenParameters(event.parameters()),
              (MSRParameters{{"_si", I(7)}, {"_sc", S("Calc")}, {"_sn", S("Main")}}));
    EXPECT_FALSE(event.addScreenParameters({{"_si", Value(8)}}));
}

TEST(EventModelTest, EditEventsMapNamesAndKeepOneLevelOfItems) {
    MonitorHarness h;
    MSREvent screen = *MSREvent::initWithOrigin("auto", false, "_vs", 5, 0, {{"_sn", Value("Main")}});
    MSRPEvent edit = screen.editEvent();
    EXPECT_EQ(edit.name(), "screen_view");
    EXPECT_EQ(edit.parameters().at("_o"), Value("auto"));

    std::optional<MSREvent> back = MSREvent::eventFromEditEvent(edit);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name(), "_vs");
    EXPECT_EQ(back->origin(), "auto");
    EXPECT_EQ(back->parameters(), screen.parameters());

    // Without a text "_o" the origin is "app"; a name without entry stays.
    back = MSREvent::eventFromEditEvent(MSRPEvent("kal_calculate", 5, {{"_o", Value(3)}, {"n", Value(1)}}));
    EXPECT_EQ(back->origin(), "app");
    EXPECT_EQ(back->name(), "kal_calculate");

    const MSRPEvent sale = purchase().editEvent();
    EXPECT_EQ(sale.parameters().at("items").list()->size(), 2u);
    EXPECT_EQ((*sale.parameters().at("items").list())[0]["price"], Value(2.5));
    EXPECT_EQ(MSREvent::eventFromEditEvent(sale)->parameters(), purchase().parameters());
}

TEST(EventModelTest, UserAttributesAndRawEvents) {
    MonitorHarness h;
    EXPECT_FALSE(MSRUserAttribute::initWithOrigin("app", "fav", S(""), 1));
    EXPECT_TRUE(MSRUserAttribute::initWithOrigin("auto", "_id", S(std::string(256, 'u')), 1));
    std::optional<MSRUserAttribute> attribute =
        MSRUserAttribute::initWithOrigin("app", "level", MSRValue(2.5), 3.5);
    ASSERT_TRUE(attribute);
    const MSRPBUserAttribute proto = attribute->protoUserAttribute();
    EXPECT_EQ(MSRPBGetInt64(proto, 0), 3500);
    EXPECT_EQ(MSRPBGetDouble(proto, 5), 2.5);
    EXPECT_FALSE(MSRPBHasField(proto, 3));
    attribute = MSRUserAttribute::initWithOrigin("app", "level", I(1), std::nan(""));
    EXPECT_EQ(MSRPBGetInt64(attribute->protoUserAttribute(), 0), 0);

    EXPECT_FALSE(MSRRawEventData::initWithRawEvent(std::nullopt, 1, 2));
    EXPECT_FALSE(MSRRawEventData::initWithRawEvent(purchase(), -1, 2));
    EXPECT_EQ(MSRRawEventData::initWithRawEvent(purchase(), 0, 2)->rowID(), 0);
}

TEST(EventModelTest, QueryStringsEscapeTheirSeparators) {
    struct Case {
        std::map<std::string, std::string> arguments;
        std::string query;
    };
    const Case cases[] = {
        {{{"a", "1"}, {"b", "x y"}}, "a=1&b=x%20y"},
        {{{"k&=", "v+w=z&q"}}, "k%26%3D=v%2Bw%3Dz%26q"},
        {{{"path", "/a?b"}, {"ü", "#"}}, "path=/a?b&%C3%BC=%23"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(msr_queryString(c.arguments), c.query);
        EXPECT_EQ(msr_dictionaryWithHttpArgumentsString(c.query), c.arguments);
    }
    EXPECT_EQ(msr_dictionaryWithHttpArgumentsString("a=1&&b&a=2&c=x+y%21"),
              (std::map<std::string, std::string>{{"a", "1"}, {"b", ""}, {"c", "x y!"}}));
    EXPECT_EQ(msr_stringByUnescapingFromURLArgument("%zz"), "");
    EXPECT_EQ(msr_stringByUnescapingFromURLArgument("%4"), "");
}

TEST(EventModelTest, DigestsBitsAndLengths) {
    const uint8_t two[] = {0x01, 0x02};
    EXPECT_EQ(msr_64LeastSignificantBits(two), 0x0102u);
    EXPECT_EQ(msr_64LeastSignificantBits(std::span<const uint8_t>()), 0u);
    const uint8_t ten[] = {9, 9, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(msr_64LeastSignificantBits(ten), 0x0102030405060708u);
    // MD5("") = d41d8cd98f00b204 e9800998ecf8427e.
    EXPECT_EQ(msr_MD5String(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(msr_64LSBMD5(std::span<const uint8_t>()), 0xe9800998ecf8427eu);
    EXPECT_TRUE(isBitEnabledAtIndex("0010", 2));
    EXPECT_FALSE(isBitEnabledAtIndex("0010", 3));
    EXPECT_FALSE(isBitEnabledAtIndex("0010", 4));
    EXPECT_FALSE(isBitEnabledAtIndex("0010", -1));
    EXPECT_EQ(msr_UTF32Length("aä漢😀"), 4);
    // Counted no further than one past the limit; a text within it whole.
    EXPECT_EQ(msr_UTF32LengthAtMost("aä漢😀", 2), 3);
    EXPECT_EQ(msr_UTF32LengthAtMost("aä漢😀", 4), 4);
    EXPECT_EQ(msr_UTF32LengthAtMost("aä漢😀", 40), 4);
    EXPECT_EQ(msr_UTF32LengthAtMost("\xff\xfe", 40), 2);
    EXPECT_EQ(msr_UTF16Length("aä漢😀"), 5);
    uint8_t buffer[8];
    EXPECT_TRUE(msr_getUTF32Bytes("a😀", buffer));
    EXPECT_EQ(std::vector<uint8_t>(buffer + 4, buffer + 8), (std::vector<uint8_t>{0x00, 0xF6, 0x01, 0x00}));
    EXPECT_FALSE(msr_getUTF32Bytes("abc", buffer));
}

// Stored events are written straight from their parameters: the bytes must
// be the wire form of the event without its name, whatever it holds.
TEST(EventModelTest, StoredBytesAreTheWireFormWithoutTheName) {
    MonitorHarness h;
    auto wireWithoutName = [](const MSREvent& event) {
        MSRPBEvent proto = event.protoEvent();
        MSRPBClearField(proto, MSREventSlot::kName);
        return bytes(proto);
    };
    const MSRParameters nestedItem{{"inner", MSRValue(MSRValueList{MSRParameters{{"x", I(1)}}})}, {"kept", S("k")}};
    const std::vector<std::pair<const char*, std::optional<MSREvent>>> events = {
        {"a purchase with items", purchase()},
        {"no parameters, no previous time", MSREvent::initWithStoredParameters("app", "plain", 1.5, 0, {})},
        {"edge values", MSREvent::initWithStoredParameters(
                            "auto", "_edge", 1'700'000'000.999, 1'600'000'000.001,
                            {{"empty", S("")},
                             {"min", I(std::numeric_limits<int64_t>::min())},
                             {"max", I(std::numeric_limits<int64_t>::max())},
                             {"zero", I(0)},
                             {"negative_zero", MSRValue(-0.0)},
                             {"tiny", MSRValue(std::numeric_limits<double>::denorm_min())},
                             {"long", S(std::string(300, 'x'))},
                             {"", S("nameless")}})},
        {"lists: empty, with an empty item, with a nested list",
         MSREvent::initWithStoredParameters("app", "lists", 2.0, 1.0,
                                            {{"items", MSRValue(MSRValueList{})},
                                             {"more", MSRValue(MSRValueList{MSRParameters{}, MSRParameters{{"n", I(-1)}}})},
                                             {"nested", MSRValue(MSRValueList{nestedItem})}})},
    };
    for (const auto& [what, event] : events) {
        ASSERT_TRUE(event) << what;
        EXPECT_EQ(event->encodedWithoutName(), wireWithoutName(*event)) << what;
    }
}
