#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Value.h"
#include "platform/host/DEDRemoteConfig.h"
#include "platform/net/FakeNetwork.h"

using namespace host;

namespace {

// An answer of exactly `values` JSON values (the answer and "entries"
// included), its lists of numbers at most `widest` long; the first is "apps".
std::string boundsAnswerOf(size_t values, size_t widest) {
    std::string entries;
    size_t left = values - 2;
    for (int n = 0; left > 0; ++n) {
        const size_t elements = std::min(widest, left - 1);
        entries += (n ? ",\"apps" + std::to_string(n) + "\":[" : "\"apps\":[");
        for (size_t i = 0; i < elements; ++i) entries += i ? ",0" : "0";
        entries += "]";
        left -= elements + 1;
    }
    return R"({"entries":{)" + entries + "}}";
}

// 2 MiB of empty arrays, in one list of "apps" or one array per entry.
std::string boundsEmptyArrays(bool oneList) {
    std::string answer = oneList ? R"({"entries":{"apps":[)" : R"({"entries":{)";
    const std::string tail = oneList ? "]}}" : "}}";
    for (int n = 0;; ++n) {
        std::string next = oneList ? "[]" : "\"a" + std::to_string(n) + "\":[]";
        if (answer.size() + next.size() + 1 + tail.size() > kDEDRemoteConfigMaximumResponseBytes) break;
        answer += (n ? "," : "") + next;
    }
    return answer + tail;
}

int64_t boundsStatusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::string(field).size())) * 1024;
    return -1;
}

// Sets the peak back to what is resident now; false where the system does not.
bool boundsPeakReset() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    const int64_t resident = boundsStatusBytes("VmRSS:");
    return resident > 0 && boundsStatusBytes("VmHWM:") - resident < (4 << 20);
}

class RemoteConfigAnswerBoundsTest : public ::testing::Test {
protected:
    // A remote configuration whose active "apps" is "before".
    std::shared_ptr<DEDRemoteConfig> made() {
        DEDRemoteConfig::Configuration configuration;
        configuration.fetchURL = "http://127.0.0.1:1/config";
        configuration.network = network_;
        configuration.callbackQueue = dispatch::SerialQueue::create("test.remote-config-bounds");
        auto config = std::make_shared<DEDRemoteConfig>(configuration);
        EXPECT_EQ(fetch(*config, R"({"entries": {"apps": "before"}})").status, DEDRemoteConfigFetchStatusSuccess);
        activate(*config);
        return config;
    }

    struct Outcome {
        DEDRemoteConfigFetchStatus status = DEDRemoteConfigFetchStatusNoFetchYet;
        std::optional<DEDRemoteConfigError> error;
    };
    Outcome fetch(DEDRemoteConfig& config, std::string body) {
        net::FakeNetwork::Reply reply;
        reply.statusCode = 200;
        reply.body.assign(body.begin(), body.end());
        body = {};
        network_->enqueueReply(std::move(reply));
        Outcome outcome;
        config.fetchWithExpirationDuration(0, [&](DEDRemoteConfigFetchStatus status,
                                                  const std::optional<DEDRemoteConfigError>& error) {
            outcome = {status, error};
        });
        executor_.runUntilIdle();
        return outcome;
    }
    void activate(DEDRemoteConfig& config) {
        config.activateWithCompletion({});
        executor_.runUntilIdle();
    }

    dispatch::ManualExecutor executor_;
    std::shared_ptr<net::FakeNetwork> network_ = std::make_shared<net::FakeNetwork>();
};

TEST_F(RemoteConfigAnswerBoundsTest, AnswersAreTakenAtTheBoundsAndRefusedPastThem) {
    const size_t values = kDEDRemoteConfigMaximumAnswerValues;
    const size_t widest = kDEDRemoteConfigMaximumArrayElements;
    const std::string pastValues = "more than " + std::to_string(values) + " JSON values";
    const std::string pastList = "an array of more than " + std::to_string(widest) + " elements (in the entry \"apps\")";
    struct Row {
        const char* name;
        std::string answer;
        std::string refusal;  // empty: taken
        size_t appsElements = 0;
    } rows[] = {
        {"every value at the bounds", boundsAnswerOf(values, widest), "", widest},
        {"one value past", boundsAnswerOf(values + 1, widest), pastValues},
        {"one list at its bound", boundsAnswerOf(widest + 3, widest), "", widest},
        {"one list one past", boundsAnswerOf(widest + 4, widest + 1), pastList},
        {"2 MiB of empty arrays in one list", boundsEmptyArrays(true), pastList},
        {"2 MiB of empty arrays, one per entry", boundsEmptyArrays(false), pastValues},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto config = made();
        const Outcome outcome = fetch(*config, std::move(row.answer));
        activate(*config);
        const std::string apps = config->configValueForKey("apps").stringValue();
        if (row.refusal.empty()) {
            EXPECT_EQ(outcome.status, DEDRemoteConfigFetchStatusSuccess);
            EXPECT_FALSE(outcome.error) << outcome.error->description;
            EXPECT_EQ(nlohmann::json::parse(apps, nullptr, false).size(), row.appsElements);
            continue;
        }
        EXPECT_EQ(outcome.status, DEDRemoteConfigFetchStatusFailure);
        EXPECT_EQ(apps, "before");
        EXPECT_TRUE(outcome.error);
        if (!outcome.error) continue;
        EXPECT_EQ(outcome.error->code, DEDRemoteConfigError::kInternalError);
        EXPECT_NE(outcome.error->description.find(row.refusal), std::string::npos) << outcome.error->description;
        EXPECT_EQ(config->lastFetchStatus(), DEDRemoteConfigFetchStatusFailure);
    }
}

// A refused answer is refused before it is built: while it is handled the
// peak grows by a small share of what building it takes. Measured in a child
// of its own, whose peak nothing else has raised.
TEST_F(RemoteConfigAnswerBoundsTest, ARefusedAnswerIsNotBuilt) {
    if (!boundsPeakReset()) GTEST_SKIP() << "the peak resident size cannot be set back here";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto config = made();
            const std::string answer = boundsEmptyArrays(true);
            std::string served = answer;
            boundsPeakReset();
            const int64_t before = boundsStatusBytes("VmRSS:");
            const Outcome outcome = fetch(*config, std::move(served));
            const int64_t refused = boundsStatusBytes("VmHWM:") - before;

            boundsPeakReset();
            const int64_t beforeBuilt = boundsStatusBytes("VmRSS:");
            const auto built = foundation::Value::parseJson(answer);
            const int64_t building = boundsStatusBytes("VmHWM:") - beforeBuilt;

            std::fprintf(stderr, "status %d, refused answer: peak +%.1f MiB, built: +%.1f MiB\n",
                         static_cast<int>(outcome.status), refused / 1048576.0, building / 1048576.0);
            const bool ok = outcome.status == DEDRemoteConfigFetchStatusFailure && built && refused * 8 < building;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
