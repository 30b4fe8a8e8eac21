// The ad network's conversion values and on-device conversion measurement,
// in virtual time against a scripted network.

#include <cmath>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRConversionValues.h"
#include "analytics/core/MSRPrivateSetMembershipClient.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/support/MSRNotificationNames.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/host/AdvertisingIdentity.h"
#include "platform/security/Compression.h"
#include "platform/store/AdNetwork.h"

namespace {

using foundation::Value;
using Coarse = store::AdNetwork::CoarseValue;
constexpr const char* kEndpoint = "http://127.0.0.1:9";
constexpr double kHour = 3600, kDay = 86400;

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

struct Answer {
    std::optional<int32_t> status = 1;
    std::optional<int32_t> fine;
    std::optional<int32_t> coarse;
    std::optional<bool> lock;
    std::optional<double> resultTime;  // seconds
    std::optional<double> eventTime;   // seconds
    std::optional<std::string> model;
};

Answer make(std::optional<int32_t> status, std::optional<int32_t> fine = {}, std::optional<int32_t> coarse = {},
            std::optional<bool> lock = {}, std::optional<double> resultTime = {},
            std::optional<double> eventTime = {}, std::optional<std::string> model = {}) {
    Answer answer;
    answer.status = status;
    answer.fine = fine;
    answer.coarse = coarse;
    answer.lock = lock;
    answer.resultTime = resultTime;
    answer.eventTime = eventTime;
    answer.model = std::move(model);
    return answer;
}

std::vector<uint8_t> encode(const Answer& answer) {
    using namespace MSRSkAdNetworkConversionValueResponseSlot;
    MSRPBSkAdNetworkConversionValueResponse response;
    if (answer.status) MSRPBSetInt32(response, kStatus, *answer.status);
    if (answer.fine) MSRPBSetInt32(response, kFineValue, *answer.fine);
    if (answer.coarse) MSRPBSetInt32(response, kCoarseValue, *answer.coarse);
    if (answer.lock) MSRPBSetBool(response, kLockWindow, *answer.lock);
    if (answer.resultTime) MSRPBSetInt64(response, kResultTime, static_cast<int64_t>(*answer.resultTime * 1000));
    if (answer.eventTime) MSRPBSetInt64(response, kEventTime, static_cast<int64_t>(*answer.eventTime * 1000));
    if (answer.model) MSRPBSetString(response, kModel, *answer.model);
    return response.protoBuffer().value_or(std::vector<uint8_t>{});
}

class ConversionValuesTest : public MeasurementEventsHarness {
  protected:
    void SetUp() override {
        MSRRemoteConfig::setMeasurementURL(std::string(kEndpoint));
        MeasurementEventsHarness::SetUp();
        host::AdvertisingIdentity::shared().setSystemMajorVersionForTesting(16);
        host::AdvertisingIdentity::shared().setSystemMinorVersionForTesting(1);
        remoteConfig().setServerSettings({{"measurement.skan.update_conversion_value_enabled", int64_t{1}}});
        firstOpenAgo(49 * kHour);
    }
    void TearDown() override {
        MeasurementEventsHarness::TearDown();
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
    }
    void firstOpenAgo(double seconds) {
        persistedConfig().setFirstOpenTimestampMilliseconds(static_cast<int64_t>((now() - seconds) * 1000));
    }
    size_t skanRequests() {
        size_t count = 0;
        for (const auto& request : network().requests())
            if (request.url == std::string(kEndpoint) + MSRConversionValues::kPath) ++count;
        return count;
    }
    void fetch() {
        onWorker([&] { engine().conversionValues().fetchSKANCV(); });
    }
    void answerNext(const Answer& answer) { network().enqueueReply({200, {}, encode(answer), std::nullopt}); }
    std::optional<int64_t> parameter(const StoredEvent& event, const std::string& key) {
        auto found = event.parameters.find(key);
        return found == event.parameters.end() ? std::nullopt : std::optional(found->second.int64Value());
    }
};

// The first two days after the first open ask sooner; after 35 days nothing
// is asked any more.
TEST_F(ConversionValuesTest, TheFetchAfterAnUploadWaitsAsTheWindowSays) {
    struct Case {
        double firstOpenAgo;
        std::optional<double> delay;
    };
    const Case cases[] = {{47 * kHour, 20}, {49 * kHour, 120}, {35 * kDay + 1, std::nullopt}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstOpenAgo);
        firstOpenAgo(c.firstOpenAgo);
        network().clearRequests();
        answerNext(make(2));
        onWorker([&] { engine().conversionValues().scheduleSKANCVFetchAfterDataUpload(); });
        advanceBy(c.delay.value_or(3600) - 1);
        EXPECT_EQ(skanRequests(), 0u);
        advanceBy(1);
        EXPECT_EQ(skanRequests(), c.delay ? 1u : 0u);
    }
}

TEST_F(ConversionValuesTest, TheRequestCarriesTheVersionAndTheEvaluationTimes) {
    persistedConfig().setSKANEvaluationEventTimeMillis(1234);
    persistedConfig().setLastUploadedEventTimestampMillis(5678);
    answerNext(make(2));
    fetch();
    ASSERT_EQ(skanRequests(), 1u);
    auto request = network().requests().back();
    EXPECT_EQ(request.headers.at("Accept-Encoding"), "gzip");
    auto decoded = MSRPBSkAdNetworkConversionValueRequest::initWithBuffer(request.payload);
    ASSERT_TRUE(decoded);
    using namespace MSRSkAdNetworkConversionValueRequestSlot;
    EXPECT_EQ(MSRPBGetString(*decoded, kSKANVersion), "4.0");
    EXPECT_EQ(MSRPBGetInt64(*decoded, kEvaluationEventTime), 1234);
    EXPECT_EQ(MSRPBGetInt64(*decoded, kLastUploadedEventTime), 5678);
    EXPECT_FALSE(MSRPBGetString(*decoded, kAppInstanceID).value_or("").empty());
}

// The server's answer, checked field by field before the platform is told.
TEST_F(ConversionValuesTest, AnAnswerReachesThePlatformOnlyWhenEveryCheckPasses) {
    struct Case {
        const char* name;
        Answer answer;
        std::optional<store::AdNetwork::Update> update;
        int64_t code;
    };
    const double later = now() + kHour, earlier = now() - 1;
    const Case cases[] = {
        {"fine only", make(1, 10, std::nullopt, true, later, now(), "m"), store::AdNetwork::Update{10, Coarse::kLow, true}, 23248},
        {"coarse high", make(1, 5, 3, std::nullopt, later, now()), store::AdNetwork::Update{5, Coarse::kHigh, false}, 23248},
        {"fine 64", make(1, 64, std::nullopt, std::nullopt, later, now()), std::nullopt, 23245},
        {"no values", make(1, std::nullopt, std::nullopt, std::nullopt, later, now()), std::nullopt, 23251},
        {"expired", make(1, 5, std::nullopt, std::nullopt, earlier, now()), std::nullopt, 23246},
        {"no event time", make(1, 5, std::nullopt, std::nullopt, later, std::nullopt), std::nullopt, 23244},
        {"outdated", make(1, 5, std::nullopt, std::nullopt, later, now() - 10), std::nullopt, 23247},
        {"no result time", make(1, 5, std::nullopt, std::nullopt, std::nullopt, now()), std::nullopt, 23255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store::AdNetwork::shared().resetForTesting();
        execute("DELETE FROM raw_events;");
        persistedConfig().setLastUploadedEventTimestampMillis(static_cast<int64_t>((now() - 5) * 1000));
        answerNext(c.answer);
        fetch();
        EXPECT_TRUE(logged(c.code)) << c.code;
        codes();
        const auto updates = store::AdNetwork::shared().updates();
        if (!c.update) {
            EXPECT_TRUE(updates.empty());
            EXPECT_TRUE(stored("_skan").empty());
            continue;
        }
        ASSERT_EQ(updates.size(), 1u);
        EXPECT_EQ(updates[0].fineValue, c.update->fineValue);
        EXPECT_EQ(updates[0].coarseValue, c.update->coarseValue);
        EXPECT_EQ(updates[0].lockWindow, c.update->lockWindow);
        auto events = stored("_skan");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(parameter(events[0], "_skanf"), c.answer.fine);
        // The answer's own coarse number, and none when it sent none.
        EXPECT_EQ(parameter(events[0], "_skanc"), c.answer.coarse ? std::optional<int64_t>(*c.answer.coarse) : std::nullopt);
        EXPECT_EQ(persistedConfig().SKANEvaluationEventTimeMillis(), static_cast<int64_t>(*c.answer.eventTime * 1000));
    }
}

// With the default limit the first four failures each schedule a retry two
// minutes later; the fifth gives up.
TEST_F(ConversionValuesTest, FailuresAreRetriedUpToTheLimit) {
    network().setResponder([](const auto&) { return net::FakeNetwork::Reply{500, {}, {}, std::nullopt}; });
    fetch();
    for (int retry = 1; retry <= 4; ++retry) {
        advanceBy(119);
        EXPECT_EQ(skanRequests(), static_cast<size_t>(retry));
        advanceBy(1);
        EXPECT_EQ(skanRequests(), static_cast<size_t>(retry + 1));
    }
    EXPECT_TRUE(logged(23250));
    advanceBy(3600);
    EXPECT_EQ(skanRequests(), 5u);
}

// A compressed answer is inflated only up to a bound: a kilobyte that would
// unfold into a megabyte is refused without the memory.
TEST_F(ConversionValuesTest, ACompressedAnswerIsInflatedWithinABound) {
    auto small = security::gzip(encode(make(1, 7, std::nullopt, std::nullopt, now() + kHour, now())));
    // A valid answer behind a large field no reader knows (number 15, 200,000
    // zero bytes): unbounded, it would be applied.
    std::vector<uint8_t> large = encode(make(1, 3, std::nullopt, std::nullopt, now() + kHour, now()));
    for (uint8_t byte : {uint8_t{0x7a}, uint8_t{0xc0}, uint8_t{0x9a}, uint8_t{0x0c}}) large.push_back(byte);
    large.resize(large.size() + 200000, 0);
    auto bomb = security::gzip(large);
    ASSERT_TRUE(small && bomb);
    ASSERT_LT(bomb->size(), MSRConversionValues::kMaxResponseBytes);
    for (const auto& body : {*bomb, *small}) {
        network().enqueueReply({200, {{"Content-Encoding", "GZIP"}}, body, std::nullopt});
        fetch();
    }
    EXPECT_TRUE(logged(23243));
    const auto updates = store::AdNetwork::shared().updates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].fineValue, 7);
}

// A request whose answer never comes ends after the network time-out and a
// grace period, so the pending flag cannot hold the engine's requests for
// ever; its late answer is ignored.
TEST_F(ConversionValuesTest, ARequestWithoutAnAnswerEndsAfterItsTimeOut) {
    network().setHoldReplies(true);
    answerNext(make(1, 9, std::nullopt, std::nullopt, now() + kDay, now()));
    fetch();
    ASSERT_EQ(skanRequests(), 1u);
    EXPECT_TRUE(engine().isNetworkRequestPending());
    advanceBy(remoteConfig().networkTimeout() + MSRPendingRequest::kGraceSeconds);
    EXPECT_FALSE(engine().isNetworkRequestPending());
    EXPECT_TRUE(logged(23270));
    network().releaseHeldReplies();
    runUntilIdle();
    EXPECT_TRUE(store::AdNetwork::shared().updates().empty());
}

// Offline the fetch waits for the network; becoming active asks again.
TEST_F(ConversionValuesTest, AnOfflineFetchRunsWhenTheNetworkReturnsAndEachActivationAsks) {
    network().setNetworkConnected(false);
    fetch();
    EXPECT_EQ(skanRequests(), 0u);
    network().setNetworkConnected(true);
    answerNext(make(2));
    engine().reachabilityDidChange();
    runUntilIdle();
    EXPECT_EQ(skanRequests(), 1u);
    answerNext(make(2));
    foundation::NotificationCenter::defaultCenter().post(MSRAppDidBecomeActiveNotificationName());
    runUntilIdle();
    EXPECT_EQ(skanRequests(), 2u);
    // A system without the interface never asks.
    host::AdvertisingIdentity::shared().setSystemMinorVersionForTesting(0);
    fetch();
    EXPECT_EQ(skanRequests(), 2u);
}

// --- on-device conversion measurement ------------------------------------------

struct FakeClient : MSRPrivateSetMembershipClient {
    explicit FakeClient(int64_t type) : type(type) {}
    std::optional<std::string> PSMRequestURLWithRetryCount(int64_t retry) override {
        return "https://psm.example/q?retry=" + std::to_string(retry);
    }
    int64_t inputType() const override { return type; }
    std::optional<std::string> parsedPSMValueFromResponse(const std::vector<uint8_t>& body) override {
        return std::string(body.begin(), body.end());
    }
    int64_t type;
};

struct FakeClientClass : MSRPrivateSetMembershipClientClass {
    bool acceptsPrefixBitLength() const override { return true; }
    bool supportsPhoneNumbers() const override { return true; }
    bool supportsHashedIdentifiers() const override { return true; }
    std::shared_ptr<MSRPrivateSetMembershipClient> clientWithEmailAddress(const std::string&, const std::string&,
                                                                          std::optional<int32_t>) override {
        return std::make_shared<FakeClient>(1);
    }
    std::shared_ptr<MSRPrivateSetMembershipClient> clientWithPhoneNumber(const std::string&, const std::string&,
                                                                         std::optional<int32_t>) override {
        return std::make_shared<FakeClient>(2);
    }
    std::shared_ptr<MSRPrivateSetMembershipClient> clientWithHashedEmailAddress(const std::string&, const std::string&,
                                                                                int32_t) override {
        return std::make_shared<FakeClient>(3);
    }
    std::shared_ptr<MSRPrivateSetMembershipClient> clientWithHashedPhoneNumber(const std::string&, const std::string&,
                                                                               int32_t) override {
        return std::make_shared<FakeClient>(4);
    }
};

class OnDeviceConversionTest : public MeasurementEventsHarness {
  protected:
    void SetUp() override {
        MeasurementEventsHarness::SetUp();
        MSRComponentRegistry::registerInstance<MSRPrivateSetMembershipClientClass>(std::make_shared<FakeClientClass>());
    }
    void initiate(const std::string& key, const std::string& value) {
        engine().setUserData({{key, Value(value)}});
        runUntilIdle();
    }
    std::vector<net::FakeNetwork::Request> queries() {
        std::vector<net::FakeNetwork::Request> found;
        for (const auto& request : network().requests())
            if (request.url.rfind("https://psm.example/", 0) == 0) found.push_back(request);
        return found;
    }
    std::optional<MSRValue> property(const std::string& name) {
        auto attribute = database().userAttributeWithName(name, nullptr);
        return attribute ? std::optional(attribute->value()) : std::nullopt;
    }
    void setProperty(const std::string& name, const MSRValue& value, double time) {
        auto attribute = MSRUserAttribute::initWithOrigin("auto", name, value, time);
        ASSERT_TRUE(attribute && database().updateUserAttribute(*attribute, nullptr));
    }
};

// A failing query is retried after 300, 600, 1200 and 2400 s; the fifth
// failure gives up. Every answered query counts.
TEST_F(OnDeviceConversionTest, FailedQueriesWaitLongerEachTimeThenGiveUp) {
    network().setResponder([](const auto&) { return net::FakeNetwork::Reply{500, {}, {}, std::nullopt}; });
    initiate("email_address", "someone@calvaro.example");
    ASSERT_EQ(queries().size(), 1u);
    size_t expected = 1;
    for (double wait : {300.0, 600.0, 1200.0, 2400.0}) {
        SCOPED_TRACE(wait);
        advanceBy(wait - 1);
        EXPECT_EQ(queries().size(), expected);
        advanceBy(1);
        EXPECT_EQ(queries().size(), ++expected);
        EXPECT_NE(queries().back().url.find("retry=" + std::to_string(expected - 1)), std::string::npos);
    }
    EXPECT_TRUE(logged(23231));
    advanceBy(4 * kDay);
    EXPECT_EQ(queries().size(), 5u);
    EXPECT_EQ(property("_psmcount"), MSRValue(int64_t{5}));
}

// The window after the first open: 60 days by default, its last second
// included.
TEST_F(OnDeviceConversionTest, QueriesStartOnlyInsideTheFirstOpenWindow) {
    network().setResponder([](const auto&) { return net::FakeNetwork::Reply{200, {}, {}, std::nullopt}; });
    struct Case {
        double firstOpenAgo;
        bool starts;
    };
    for (const Case& c : {Case{45 * kDay, true}, Case{60 * kDay, true}, Case{60 * kDay + 1, false}}) {
        SCOPED_TRACE(c.firstOpenAgo);
        network().clearRequests();
        onWorker([&] { engine().onDeviceConversion().resetPSMCounts(); });
        persistedConfig().setFirstOpenTimestampMilliseconds(static_cast<int64_t>((now() - c.firstOpenAgo) * 1000));
        initiate("email_address", "someone@calvaro.example");
        EXPECT_EQ(queries().size(), c.starts ? 1u : 0u);
        EXPECT_EQ(logged(23261), !c.starts);
        codes();
    }
}

// A match is kept for 90 days; then it goes with every count.
TEST_F(OnDeviceConversionTest, AnExpiredMatchIsRemovedWithEveryCount) {
    for (double age : {90 * kDay - 1, 90 * kDay + 1}) {
        SCOPED_TRACE(age);
        setProperty("_psmvalue", MSRValue(std::string("m")), now() - age);
        for (const char* name : {"_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"})
            setProperty(name, MSRValue(int64_t{2}), now() - age);
        onWorker([&] { engine().onDeviceConversion().maybeDeleteExpiredPSMValueOnWorkerQueue(); });
        const bool kept = age < 90 * kDay;
        for (const char* name : {"_psmvalue", "_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"})
            EXPECT_EQ(property(name).has_value(), kept) << name;
    }
}

// The query names the count of its kind and the first open's minute; a
// match is kept and announced.
TEST_F(OnDeviceConversionTest, AQueryCarriesItsCountAndAMatchIsKeptAndAnnounced) {
    persistedConfig().setFirstOpenTimestampMilliseconds(int64_t{1700000030} * 1000 - 3 * 86400000);
    setProperty("_psmcountph", MSRValue(int64_t{3}), now());
    network().enqueueReply({200, {}, bytesOf("matched"), std::nullopt});
    initiate("phone_number", "+49301234567");
    ASSERT_EQ(queries().size(), 1u);
    const std::string url = queries()[0].url;
    EXPECT_NE(url.find("&psm_phone_count=3"), std::string::npos) << url;
    EXPECT_NE(url.find("&timestamp_first_open=1699740840"), std::string::npos) << url;
    EXPECT_EQ(property("_psmcountph"), MSRValue(int64_t{4}));
    EXPECT_EQ(property("_psmvalue"), MSRValue(std::string("matched")));
    auto announced = stored("_fx");
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_TRUE(announced[0].has("_fxs", MSRValue(std::string("psm"))) && announced[0].realtime);
    // A match blocks further queries.
    initiate("email_address", "someone@calvaro.example");
    EXPECT_TRUE(logged(23237));
    EXPECT_EQ(queries().size(), 1u);
}

TEST_F(OnDeviceConversionTest, WithoutTheAddOnNothingStarts) {
    MSRComponentRegistry::registerInstance<MSRPrivateSetMembershipClientClass>(nullptr);
    initiate("email_address", "someone@calvaro.example");
    EXPECT_TRUE(logged(23233));
    EXPECT_TRUE(queries().empty());
    EXPECT_FALSE(property("_psmcount"));
}

// A query whose answer never comes does not hold uploads: after the network
// time-out and a grace period it counts as failed, and the late answer is
// ignored.
TEST_F(OnDeviceConversionTest, AQueryWithoutAnAnswerReleasesTheNetworkAfterItsTimeOut) {
    network().setHoldReplies(true);
    initiate("email_address", "someone@calvaro.example");
    ASSERT_EQ(queries().size(), 1u);
    EXPECT_TRUE(engine().isNetworkRequestPending());
    advanceBy(remoteConfig().networkTimeout() + MSRPendingRequest::kGraceSeconds - 1);
    EXPECT_TRUE(engine().isNetworkRequestPending());
    advanceBy(1);
    EXPECT_FALSE(engine().isNetworkRequestPending());
    EXPECT_TRUE(logged(23270));
    EXPECT_EQ(property("_psmcount"), MSRValue(int64_t{1}));
    network().releaseHeldReplies();
    runUntilIdle();
    EXPECT_EQ(property("_psmcount"), MSRValue(int64_t{1}));
    // The retry of the lost query goes out as scheduled.
    network().setHoldReplies(false);
    advanceBy(300);
    EXPECT_EQ(queries().size(), 2u);
}

}  // namespace
