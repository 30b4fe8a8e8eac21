// Audiences on the engine's road, in virtual time: a configuration with
// audiences arrives from the collector, events and properties are logged, and
// the uploaded bundles carry each audience's state, as protoc reads it too;
// the state outlives a restart.

#include <cstdlib>
#include <fstream>

#include "MeasurementFixture.h"
#include "analytics/audience/MSRAudienceEvaluator.h"
#include "analytics/core/MSRBundleFields.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "tests/support/TestPaths.h"
#include "tools/collector/MeasurementCollector.h"

namespace {

constexpr const char* kEndpoint = "http://127.0.0.1:9";

MSRPBFilter stringParameter(const std::string& name, int32_t type, const std::string& expression) {
    MSRPBStringFilter text;
    MSRPBSetInt32(text, MSRStringFilterSlot::kMatchType, type);
    MSRPBSetString(text, MSRStringFilterSlot::kExpression, expression);
    MSRPBFilter filter;
    MSRPBSetMessage(filter, MSRFilterSlot::kStringFilter, text);
    if (!name.empty()) MSRPBSetString(filter, MSRFilterSlot::kParameterName, name);
    return filter;
}

MSRPBFilter numberParameter(const std::string& name, int32_t type, const std::string& value) {
    MSRPBNumberFilter number;
    MSRPBSetInt32(number, MSRNumberFilterSlot::kComparisonType, type);
    MSRPBSetString(number, MSRNumberFilterSlot::kComparisonValue, value);
    MSRPBFilter filter;
    MSRPBSetMessage(filter, MSRFilterSlot::kNumberFilter, number);
    MSRPBSetString(filter, MSRFilterSlot::kParameterName, name);
    return filter;
}

MSRPBEventFilter eventFilter(int32_t id, const std::string& name, std::vector<MSRPBFilter> parameters,
                             bool sequence = false) {
    MSRPBEventFilter filter;
    MSRPBSetInt32(filter, MSREventFilterSlot::kFilterID, id);
    MSRPBSetString(filter, MSREventFilterSlot::kEventName, name);
    MSRPBSetMessageArray(filter, MSREventFilterSlot::kParameterFilters, parameters);
    if (sequence) MSRPBSetBool(filter, MSREventFilterSlot::kSequence, true);
    return filter;
}

// 1: bought for more than 20; 2: tier gold (dynamic); 3: searched for shoes,
// then for boots (a sequence).
std::vector<uint8_t> configurationWithAudiences(const std::string& appID) {
    MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(appID, 2, {});
    MSRPBAudience bought;
    MSRPBSetInt32(bought, MSRAudienceSlot::kAudienceID, 1);
    MSRPBSetMessageArray(bought, MSRAudienceSlot::kEventFilters,
                         std::vector{eventFilter(0, "buy", {numberParameter("amount", 2, "20")})});
    MSRPBAudience gold;
    MSRPBSetInt32(gold, MSRAudienceSlot::kAudienceID, 2);
    MSRPBPropertyFilter tier;
    MSRPBSetInt32(tier, MSRPropertyFilterSlot::kFilterID, 0);
    MSRPBSetString(tier, MSRPropertyFilterSlot::kPropertyName, "tier");
    MSRPBSetMessage(tier, MSRPropertyFilterSlot::kFilter, stringParameter("", 5, "gold"));
    MSRPBSetBool(tier, MSRPropertyFilterSlot::kDynamic, true);
    MSRPBSetMessageArray(gold, MSRAudienceSlot::kPropertyFilters, std::vector{tier});
    MSRPBAudience searched;
    MSRPBSetInt32(searched, MSRAudienceSlot::kAudienceID, 3);
    MSRPBSetMessageArray(searched, MSRAudienceSlot::kEventFilters,
                         std::vector{eventFilter(0, "search", {stringParameter("term", 1, "^shoe")}, true),
                                     eventFilter(1, "search", {stringParameter("term", 1, "boot")}, true)});
    MSRPBSetMessageArray(config, MSRConfigSlot::kAudiences, std::vector{bought, gold, searched});
    return config.protoBuffer().value();
}

struct Leaf {
    uint64_t status = 0, results = 0;
    std::map<int32_t, std::vector<int64_t>> sequence;
    bool newAudience = false;
    bool hasPrevious = false;
};

}  // namespace

class AudienceRoadTest : public MeasurementFixture {
  protected:
    AudienceRoadTest() { MSRRegisterAudience(); }

    void SetUp() override {
        MSRRemoteConfig::setMeasurementURL(std::string(kEndpoint));
        MeasurementFixture::SetUp();
        serve();
    }
    void TearDown() override {
        MeasurementFixture::TearDown();
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
    }
    void serve() {
        const std::vector<uint8_t> body = configurationWithAudiences(options_.appID);
        network().setResponder([this, body](const net::FakeNetwork::Request& request) {
            net::FakeNetwork::Reply reply;
            if (request.method == "GET") {
                reply.statusCode = 200;
                reply.body = body;
            } else {
                reply.statusCode = 204;
                payloads.push_back(request.payload);
            }
            return reply;
        });
    }
    void restart() {
        stopEngine();
        MSRRegisterAudience();
        startEngine(options_);
        serve();
    }
    void log(const std::string& name, const MSRObjectDictionary& parameters) {
        engine().logEvent("app", true, name, parameters, now(), true, false, false, {}, std::nullopt);
        advanceBy(1);
    }
    // The audiences of every bundle posted since the last call.
    std::vector<std::map<int32_t, Leaf>> uploadedAudiences() {
        std::vector<std::map<int32_t, Leaf>> bundles;
        for (const auto& payload : std::exchange(payloads, {})) {
            auto batch = MSRPBMeasurementBatch::initWithBuffer(payload);
            EXPECT_TRUE(batch);
            if (!batch) continue;
            for (const auto& bundle : MSRPBGetMessageArray<MSRPBMeasurementBundle>(*batch, 0)) {
                std::map<int32_t, Leaf> leaves;
                for (const auto& message :
                     MSRPBGetMessageArray<MSRPBAudienceLeafFilterResult>(bundle, MSRBundleSlot::kAudienceResults)) {
                    namespace L = MSRAudienceLeafFilterResultSlot;
                    namespace R = MSRResultDataSlot;
                    Leaf leaf;
                    auto current = MSRPBGetMessage<MSRPBResultData>(message, L::kCurrentData).value();
                    leaf.status = std::get<uint64_t>(MSRPBGetArray(current, R::kStatus).at(0));
                    leaf.results = std::get<uint64_t>(MSRPBGetArray(current, R::kResults).at(0));
                    for (const auto& entry :
                         MSRPBGetMessageArray<MSRPBSequenceFilterResultTimestamp>(current, R::kSequenceTimestamps)) {
                        for (const auto& time : MSRPBGetArray(entry, MSRSequenceFilterResultTimestampSlot::kTimestamps))
                            leaf.sequence[MSRPBGetInt32(entry, 0)].push_back(std::get<int64_t>(time));
                    }
                    leaf.newAudience = MSRPBGetBool(message, L::kNewAudience);
                    leaf.hasPrevious = MSRPBHasField(message, L::kPreviousData);
                    leaves[MSRPBGetInt32(message, L::kAudienceID)] = leaf;
                }
                bundles.push_back(std::move(leaves));
            }
            lastPayload = payload;
        }
        return bundles;
    }

    std::vector<std::vector<uint8_t>> payloads;
    std::vector<uint8_t> lastPayload;
};

TEST_F(AudienceRoadTest, UploadsCarryTheAudiencesOfTheServedConfiguration) {
    engine().fetchRemoteConfig();
    runUntilIdle();
    auto ids = database().allAudienceIDs(nullptr);
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->size(), 3u);

    const double start = now();
    engine().setUserAttribute(MSRUserAttribute::initWithOrigin("app", "tier", MSRValue("gold"), now()).value());
    log("buy", {{"amount", foundation::Value(12.5)}});
    log("search", {{"term", foundation::Value("Shoes for running")}});
    log("buy", {{"amount", foundation::Value(int64_t{25})}});
    log("search", {{"term", foundation::Value("winter boots")}});
    advanceBy(24 * 3600);
    auto first = uploadedAudiences();
    ASSERT_FALSE(first.empty());
    std::map<int32_t, Leaf> leaves = first.back();
    ASSERT_EQ(leaves.size(), 3u);
    EXPECT_EQ(leaves[1].results, 1u);  // the second purchase held
    EXPECT_TRUE(leaves[1].newAudience);
    EXPECT_EQ(leaves[2].results, 1u);
    EXPECT_EQ(leaves[3].results, 0b11u);
    const int64_t shoes = static_cast<int64_t>(start + 1);
    const int64_t boots = static_cast<int64_t>(start + 3);
    EXPECT_EQ(leaves[3].sequence, (std::map<int32_t, std::vector<int64_t>>{{0, {shoes}}, {1, {boots}}}));

    // protoc reads the same audiences from the posted bytes.
    const TemporaryDataRoot scratch("audience-protoc");
    const std::string in = (scratch.path() / "batch.bin").string();
    const std::string out = (scratch.path() / "batch.txt").string();
    std::ofstream(in, std::ios::binary) << std::string(lastPayload.begin(), lastPayload.end());
    const std::string command = "protoc --decode=msr.MeasurementBatch -I '" + std::string(CALVARO_PROTO_DIR) +
                                "' measurement.proto < '" + in + "' > '" + out + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream decoded(out);
    const std::string text((std::istreambuf_iterator<char>(decoded)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("audience_evaluation_results {\n    audience_id: 3"), std::string::npos) << text;
    EXPECT_NE(text.find("eval_timestamps: " + std::to_string(boots)), std::string::npos);
    EXPECT_NE(text.find("new_audience: true"), std::string::npos);

    // A new process keeps the state: the tier turns silver, the dynamic
    // filter follows, the others stay as they were.
    restart();
    engine().setUserAttribute(MSRUserAttribute::initWithOrigin("app", "tier", MSRValue("silver"), now()).value());
    log("buy", {{"amount", foundation::Value(int64_t{3})}});
    advanceBy(24 * 3600);
    auto second = uploadedAudiences();
    ASSERT_FALSE(second.empty());
    leaves = second.back();
    EXPECT_EQ(leaves[1].results, 1u);
    EXPECT_FALSE(leaves[1].newAudience);
    EXPECT_EQ(leaves[2].status, 1u);
    EXPECT_EQ(leaves[2].results, 0u);
    EXPECT_TRUE(leaves[2].hasPrevious);
    EXPECT_EQ(leaves[3].results, 0b11u);
}
