// The collector's measurement endpoints, reached over libcurl as the engine
// reaches them (gzip bodies, conditional GETs).

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "analytics/messages/MSRPBRuntime.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/net/CurlNetwork.h"
#include "tools/collector/MeasurementCollector.h"

namespace {

constexpr size_t kLimit = 1 << 20;

using ParamValue = std::variant<int64_t, std::string, double>;
constexpr const char* kCollectorApp = "1:1000000000:ios:0e2e";

MSRPBEvent makeEvent(const std::string& name, int64_t millis,
                     const std::vector<std::pair<std::string, ParamValue>>& params) {
    MSRPBEvent event;
    std::vector<MSRPBEventParam> list;
    for (const auto& [key, value] : params) {
        MSRPBEventParam param;
        MSRPBSetString(param, 0, key);
        if (auto* i = std::get_if<int64_t>(&value)) MSRPBSetInt64(param, 2, *i);
        if (auto* s = std::get_if<std::string>(&value)) MSRPBSetString(param, 1, *s);
        if (auto* d = std::get_if<double>(&value)) MSRPBSetDouble(param, 4, *d);
        list.push_back(std::move(param));
    }
    MSRPBSetMessageArray(event, 0, list);
    MSRPBSetString(event, 1, name);
    MSRPBSetInt64(event, 2, millis);
    return event;
}

MSRPBMeasurementBundle makeBundle(int32_t index, const std::vector<MSRPBEvent>& events) {
    MSRPBMeasurementBundle bundle;
    MSRPBSetInt32(bundle, 0, 1);
    MSRPBSetMessageArray(bundle, 1, events);
    MSRPBUserAttribute attribute;
    MSRPBSetString(attribute, 1, "_fot");
    MSRPBSetInt64(attribute, 3, 1700000000000);
    MSRPBSetMessageArray(bundle, 2, std::vector<MSRPBUserAttribute>{attribute});
    MSRPBSetString(bundle, 14, "app.calvaro.e2e");
    MSRPBSetString(bundle, 26, kCollectorApp);
    MSRPBSetInt32(bundle, 24, index);
    return bundle;
}

// Two bundles holding events n = 1, 2 and n = 3.
std::vector<uint8_t> sampleBatch() {
    MSRPBMeasurementBatch batch;
    std::vector<MSRPBMeasurementBundle> bundles{
        makeBundle(7, {makeEvent("e2e_event", 1000, {{"n", int64_t{1}}, {"label", std::string("x")}}),
                       makeEvent("e2e_event", 1001, {{"n", int64_t{2}}, {"value", 2.5}})}),
        makeBundle(8, {makeEvent("e2e_event", 1002, {{"n", int64_t{3}}})}),
    };
    MSRPBSetMessageArray(batch, 0, bundles);
    return batch.protoBuffer().value();
}

struct Answer {
    int status = 0;
    net::Headers headers;
    std::string body;
};

class MeasurementCollectorTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(collector.start(0, &error)) << error;
    }

    // The server's threads call into `measurement`, which goes first: they
    // end before it does, and the completions of the transfers then ended
    // have run before the test ends.
    void TearDown() override {
        collector.stop();
        queue->sync([] {});
    }

    // One request over libcurl; waits for its completion with a deadline.
    Answer send(bool post, const std::string& path, std::vector<uint8_t> body = {},
                net::Headers headers = {}) {
        auto answer = std::make_shared<Answer>();
        auto done = std::make_shared<dispatch::TimedSemaphore>();
        auto completion = [answer, done](const net::Response& r, const std::vector<uint8_t>& b, const auto&) {
            *answer = {r.statusCode, r.headers, std::string(b.begin(), b.end())};
            done->signal();
        };
        const std::string url = collector.baseURL() + path;
        std::string session = post ? network.postURL(url, headers, std::move(body), kLimit, queue, false, completion)
                                   : network.getURL(url, headers, kLimit, queue, false, completion);
        EXPECT_FALSE(session.empty());
        EXPECT_TRUE(done->wait(20)) << "no answer to " << path;
        return *answer;
    }

    tools::Collector collector;
    tools::MeasurementCollector measurement{collector};
    net::CurlNetwork network;  // compresses POST bodies, as the engine's component does
    std::shared_ptr<dispatch::SerialQueue> queue =
        dispatch::SerialQueue::create("com.calvaro.test.collector");
};

TEST_F(MeasurementCollectorTest, UploadsAreDecodedAndOnlyAcceptedFirstCopiesCount) {
    struct Case {
        const char* what;
        std::optional<int> scripted;
        std::vector<uint8_t> body;
        int status;
        size_t bundles;
    };
    const std::vector<uint8_t> batch = sampleBatch();
    const Case cases[] = {
        {"a batch", std::nullopt, batch, 200, 2},
        {"unavailable", 503, batch, 503, 2},
        {"too many requests", 429, batch, 429, 2},
        {"server error", 500, batch, 500, 2},
        {"not a batch", std::nullopt, {0xff, 0xff, 0xff, 0x01}, 400, 0},
        {"empty body", std::nullopt, {}, 400, 0},
        {"a batch again", std::nullopt, batch, 200, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.scripted)
            collector.scriptReply(tools::MeasurementCollector::kUploadPath, {*c.scripted, "", {}, 0});
        const size_t before = measurement.uploads().size();
        EXPECT_EQ(send(true, "/a", c.body).status, c.status);
        auto uploads = measurement.uploads();
        ASSERT_EQ(uploads.size(), before + 1);
        const auto& upload = uploads.back();
        EXPECT_EQ(upload.status, c.status);
        EXPECT_EQ(upload.wasGzip, !c.body.empty());
        EXPECT_EQ(upload.decoded, c.bundles > 0);
        EXPECT_EQ(upload.bundles.size(), c.bundles);
        EXPECT_EQ(upload.body, c.body);
    }
    // Only the accepted batches count, and the second is the first sent
    // again: its bundles, known by (app instance id, bundle index), are
    // counted as repeats and dropped.
    auto events = measurement.acceptedEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(measurement.acceptedEventCount(), 3u);
    EXPECT_EQ(measurement.repeatedBundleCount(), 2u);
    EXPECT_EQ(measurement.repeatedEventCount(), 3u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].name, "e2e_event");
        EXPECT_EQ(events[i].intParam("n"), int64_t(i % 3 + 1));
        EXPECT_EQ(events[i].timestampMillis, int64_t(1000 + i % 3));
    }
    ASSERT_TRUE(events[0].param("label") && events[1].param("value"));
    EXPECT_EQ(events[0].param("label")->stringValue, "x");
    EXPECT_EQ(events[1].param("value")->doubleValue, 2.5);
    EXPECT_FALSE(events[0].intParam("label"));
    const auto bundles = measurement.uploads().front().bundles;
    EXPECT_EQ(bundles[0].appID, "app.calvaro.e2e");
    EXPECT_EQ(bundles[0].zmpAppID, kCollectorApp);
    EXPECT_EQ(bundles[1].bundleIndex, 8);
    EXPECT_EQ(bundles[0].userAttributeNames, std::vector<std::string>{"_fot"});
}

TEST_F(MeasurementCollectorTest, ConfigurationAnswersFollowTheValidators) {
    const std::string path = std::string(tools::MeasurementCollector::kConfigPathPrefix) + kCollectorApp;
    const std::string query = "?platform=ios&runtime_version=0&zmp_version=110100";
    EXPECT_EQ(send(false, path + query).status, 404) << "no configuration for the app yet";

    measurement.setConfig(
        kCollectorApp, tools::MeasurementCollector::makeConfig(kCollectorApp, 3, {{"measurement.upload.interval", "20000"}}));
    const std::string first = measurement.etagForApp(kCollectorApp);
    ASSERT_FALSE(first.empty());
    measurement.setConfig(
        kCollectorApp, tools::MeasurementCollector::makeConfig(kCollectorApp, 4, {{"measurement.upload.interval", "20000"}}));
    const std::string current = measurement.etagForApp(kCollectorApp);
    EXPECT_NE(current, first) << "a new configuration needs a new validator";

    struct Step {
        const char* what;
        std::optional<std::string> ifNoneMatch;
        std::optional<int> scripted;
        int status;
        bool hasBody;
    };
    const Step steps[] = {
        {"unconditional", std::nullopt, std::nullopt, 200, true},
        {"current validator", current, std::nullopt, 304, false},
        {"replaced validator", first, std::nullopt, 200, true},
        {"unavailable first", current, 503, 503, false},
        {"then not modified", current, std::nullopt, 304, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.scripted) collector.scriptReply(path, {*step.scripted, "", {}, 0});
        net::Headers headers;
        if (step.ifNoneMatch) headers["If-None-Match"] = *step.ifNoneMatch;
        Answer answer = send(false, path + query, {}, headers);
        EXPECT_EQ(answer.status, step.status);
        EXPECT_EQ(!answer.body.empty(), step.hasBody);
        if (step.status / 100 != 5) {
            EXPECT_EQ(answer.headers["ETag"], current);
        }
        if (!step.hasBody) continue;
        auto config = MSRPBMeasurementConfig::initWithBuffer(
            std::vector<uint8_t>(answer.body.begin(), answer.body.end()));
        ASSERT_TRUE(config);
        EXPECT_EQ(MSRPBGetInt64(*config, 0), 4);
        EXPECT_EQ(MSRPBGetString(*config, 1), kCollectorApp);
        auto settings = MSRPBGetMessageArray<MSRPBSetting>(*config, 3);
        ASSERT_EQ(settings.size(), 1u);
        EXPECT_EQ(MSRPBGetString(settings[0], 0), "measurement.upload.interval");
        EXPECT_EQ(MSRPBGetString(settings[0], 1), "20000");
    }
    EXPECT_TRUE(measurement.uploads().empty()) << "configuration requests are not uploads";
}

TEST_F(MeasurementCollectorTest, HeldUploadsAnswerWhenReleasedAndWaitsKeepTheirDeadline) {
    measurement.setUploadsHeld(true);
    auto done = std::make_shared<dispatch::TimedSemaphore>();
    auto status = std::make_shared<int>(0);
    network.postURL(collector.baseURL() + "/a", {}, sampleBatch(), kLimit, queue, false,
                    [done, status](const net::Response& r, const auto&, const auto&) {
                        *status = r.statusCode;
                        done->signal();
                    });
    ASSERT_TRUE(measurement.waitUntil([](const auto& uploads) { return uploads.size() == 1; }, 20));
    EXPECT_FALSE(done->wait(0.05)) << "the reply is held";
    EXPECT_FALSE(measurement.waitUntil([](const auto& uploads) { return uploads.size() == 2; }, 0.05));
    collector.releaseHeldReplies();
    ASSERT_TRUE(done->wait(20)) << "a released reply is sent at once";
    EXPECT_EQ(*status, 500);
    EXPECT_EQ(measurement.acceptedEventCount(), 0u);
    EXPECT_EQ(measurement.uploads().front().bundles.size(), 2u) << "recorded though not accepted";
    measurement.setUploadsHeld(false);
    EXPECT_EQ(send(true, "/a", sampleBatch()).status, 200);
    EXPECT_EQ(measurement.acceptedEventCount(), 3u);
}

}  // namespace
