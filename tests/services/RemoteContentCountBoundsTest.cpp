// Remote content counted before it is built: an array of more elements, or a
// value of more JSON values, than the bounds allow is refused whole (the menu
// falls back to the bundle's list, the other values keep what they held) and
// said on the console; one exactly at a bound is taken.

#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "Calvaro/services/RemoteConfigManager.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/host/DEDRemoteConfig.h"

namespace {

// The bounds: 1,000 elements an array, 50,000 values in all.
constexpr const char* kArrayRefusal = "the array holds more than 1000 elements";
constexpr const char* kValuesRefusal = "the value holds more than 50000 values";

std::string appsOf(size_t count) {
    const nlohmann::json app = {{"appIdentifiers", {"org.example.x"}},
                                {"appName", {{"en", "X"}}},
                                {"appURL", "x://"},
                                {"appURLPro", "xp://"},
                                {"ratingURL", "https://r"},
                                {"ratingURLPro", "https://rp"},
                                {"storeURL", "https://s"},
                                {"storeURLPro", "https://sp"},
                                {"shouldShow", true},
                                {"calculationsUntilInterstitial", 1}};
    return nlohmann::json{{"apps", nlohmann::json::array_t(count, app)}}.dump();
}

// What was sent at the bound (690,000 empty arrays fill 2 MiB).
std::string appsOfEmptyArrays() {
    std::string text = R"({"apps": [)";
    for (size_t i = 0; i < 690000; ++i) text += i ? ",[]" : "[]";
    return text + "]}";
}

std::string adsOf(size_t count) {
    const nlohmann::json ad = {{"imageName", "i"}, {"linkingString", "https://x"}, {"discountNumber", "30"}};
    return nlohmann::json{{"CLV", nlohmann::json::array_t(count, ad)}}.dump();
}

nlohmann::json videos(size_t count) {
    return nlohmann::json{{"en", nlohmann::json::array_t(count, "https://www.youtube.com/watch?v=v")}};
}

std::string videosOf(size_t count) {
    return nlohmann::json{{"CLV", videos(count)}}.dump();
}

// 49 applications of 1,000 videos and this one's `count`: 50,000 values in
// all (each application's object and list, the value itself) when 899.
std::string videosOfManyApplications(size_t count) {
    nlohmann::json all = {{"CLV", videos(count)}};
    for (int i = 0; i < 49; ++i) all["A" + std::to_string(i)] = videos(1000);
    return all.dump();
}

struct CountRow {
    const char* name;
    const char* key;
    std::string (*value)();
    // What the manager holds after the load: the application records, the
    // ads of "CLV", or its videos; 4 applications are the bundle's.
    size_t held;
    // Said on the console when refused.
    const char* refusal;
};

void PrintTo(const CountRow& row, std::ostream* out) {
    *out << row.name;
}

class RemoteContentCountBoundsTest : public ::testing::TestWithParam<CountRow> {};

TEST_P(RemoteContentCountBoundsTest, IsTakenAtTheBoundAndRefusedPastIt) {
    const CountRow& row = GetParam();
    dispatch::ManualExecutor executor;
    auto config = std::make_shared<host::DEDRemoteConfig>();
    config->setDefaults({{row.key, foundation::Value(row.value())}});
    RemoteConfigManager manager(config);
    testing::internal::CaptureStderr();
    manager.loadAll(*config);
    const std::string console = testing::internal::GetCapturedStderr();
    const std::string key = row.key;
    size_t held = 0;
    if (key == "apps") held = manager.apps().size();
    if (key == "ads" && manager.ads().count("CLV")) held = manager.ads().at("CLV").size();
    if (key == "videoTutorials")
        held = manager.videoUrlStrings(CalculationType::powerAndLogarithmicFunction).size();
    EXPECT_EQ(held, row.held);
    if (row.refusal) {
        EXPECT_NE(console.find(row.refusal), std::string::npos) << console;
    } else {
        EXPECT_EQ(console.find("more than"), std::string::npos) << console;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, RemoteContentCountBoundsTest,
    testing::Values(
        CountRow{"AppsAtTheBound", "apps", [] { return appsOf(1000); }, 1000, nullptr},
        CountRow{"AppsPastTheBound", "apps", [] { return appsOf(1001); }, 4, kArrayRefusal},
        CountRow{"AppsOfEmptyArrays", "apps", appsOfEmptyArrays, 4, kArrayRefusal},
        CountRow{"AdsAtTheBound", "ads", [] { return adsOf(1000); }, 1000, nullptr},
        CountRow{"AdsPastTheBound", "ads", [] { return adsOf(1001); }, 0, kArrayRefusal},
        CountRow{"VideosAtTheBound", "videoTutorials", [] { return videosOf(1000); }, 1000, nullptr},
        CountRow{"VideosPastTheBound", "videoTutorials", [] { return videosOf(1001); }, 0, kArrayRefusal},
        CountRow{"ValuesAtTheBound", "videoTutorials", [] { return videosOfManyApplications(899); }, 899,
                 nullptr},
        CountRow{"ValuesPastTheBound", "videoTutorials", [] { return videosOfManyApplications(900); }, 0,
                 kValuesRefusal}),
    [](const testing::TestParamInfo<CountRow>& info) { return std::string(info.param.name); });

}  // namespace
