#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Calvaro/services/AppMetaData.h"
#include "Calvaro/services/CmpReferenceData.h"
#include "Calvaro/services/KalAdData.h"
#include "Calvaro/services/OfferData.h"

namespace {

nlohmann::json appJson() {
    return nlohmann::json::parse(R"({
        "appIdentifiers": ["org.example.one"], "appName": {"en": "One"},
        "appURL": "one://", "appURLPro": "onepro://", "ratingURL": "https://r", "ratingURLPro": "https://rp",
        "storeURL": "https://s", "storeURLPro": "https://sp", "shouldShow": true,
        "calculationsUntilInterstitial": 3})");
}

TEST(RemoteContentRecordsTest, AppMetaDataDecodesAllOrNothing) {
    struct Case {
        const char* name;
        std::function<void(nlohmann::json&)> edit;
        bool decodes;
        std::optional<bool> isMultiApp;
    } cases[] = {
        {"complete, isMultiApp missing", [](nlohmann::json&) {}, true, std::nullopt},
        {"isMultiApp null", [](nlohmann::json& j) { j["isMultiApp"] = nullptr; }, true, std::nullopt},
        {"isMultiApp true", [](nlohmann::json& j) { j["isMultiApp"] = true; }, true, true},
        {"extra keys ignored", [](nlohmann::json& j) { j["somethingNew"] = {1, 2}; }, true, std::nullopt},
        {"required key missing", [](nlohmann::json& j) { j.erase("calculationsUntilInterstitial"); }, false, {}},
        {"required key null", [](nlohmann::json& j) { j["storeURL"] = nullptr; }, false, {}},
        {"integer as text", [](nlohmann::json& j) { j["calculationsUntilInterstitial"] = "3"; }, false, {}},
        {"boolean as number", [](nlohmann::json& j) { j["shouldShow"] = 1; }, false, {}},
        {"name not text", [](nlohmann::json& j) { j["appName"]["de"] = 5; }, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        nlohmann::json one = appJson();
        c.edit(one);
        nlohmann::json all = {{"apps", {appJson(), one}}};
        services::json::DecodingError error;
        auto decoded = AllAppMetaData::decode(all, error);
        ASSERT_EQ(decoded.has_value(), c.decodes) << error.description();
        if (!c.decodes) {
            EXPECT_NE(error.description().find("apps[1]"), std::string::npos) << error.description();
            continue;
        }
        ASSERT_EQ(decoded->apps.size(), 2u);
        EXPECT_EQ(decoded->apps[1].isMultiApp, c.isMultiApp);
        EXPECT_EQ(decoded->apps[1].calculationsUntilInterstitial, 3);
        // Encoding gives a record that decodes to the same value.
        services::json::DecodingError again;
        EXPECT_EQ(AllAppMetaData::decode(decoded->toJson(), again), decoded);
    }
}

TEST(RemoteContentRecordsTest, DictionaryValuesFailAsAWhole) {
    struct Case {
        const char* name;
        const char* json;
        bool ads;  // else offers
        bool decodes;
    } cases[] = {
        {"ads valid", R"({"a": [{"imageName": "i", "linkingString": "https://x", "discountNumber": "30"}], "b": []})", true, true},
        {"ads one invalid array", R"({"a": [{"imageName": "i", "linkingString": "https://x", "discountNumber": "30"}],
                                      "b": [{"imageName": "i", "linkingString": "https://x"}]})", true, false},
        {"ads not an object", R"([])", true, false},
        {"ads array expected", R"({"a": {"imageName": "i"}})", true, false},
        {"offers valid", R"({"CLV": [{"buttonTexts": {"en": "Buy"}, "offerId": "o1", "extra": 1}]})", false, true},
        {"offers number id", R"({"CLV": [{"buttonTexts": {"en": "Buy"}, "offerId": 1}]})", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        services::json::DecodingError error;
        bool decoded = c.ads ? decodeKalAds(nlohmann::json::parse(c.json), error).has_value()
                             : decodeOffers(nlohmann::json::parse(c.json), error).has_value();
        EXPECT_EQ(decoded, c.decodes) << error.description();
        EXPECT_EQ(error.failed(), !c.decodes);
    }
}

TEST(RemoteContentRecordsTest, CmpReferenceDataOptionalFlag) {
    services::json::DecodingError error;
    auto data = CmpReferenceData::decode(nlohmann::json::parse(R"({"purposeConsents": "1", "purposeLegitimateInterests": "0",
        "vendorConsents": "11", "vendorLegitimateInterests": "01"})"), error);
    ASSERT_TRUE(data.has_value()) << error.description();
    EXPECT_FALSE(data->isConsentOrPayActivated.has_value());

    services::json::DecodingError missing;
    EXPECT_FALSE(CmpReferenceData::decode(nlohmann::json::parse(R"({"isConsentOrPayActivated": true})"), missing));
}

}  // namespace
