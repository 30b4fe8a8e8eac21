// A consent call of the application and the engine start's choice among what
// an earlier run left, in both orders. The start may come after the call (a
// busy start, as the application sees it): the forced order here makes it
// come after, every run, and the outcome must be the one of the start first.
// In virtual time.

#include <map>
#include <set>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRAnalyticsState.h"
#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "tools/collector/MeasurementCollector.h"

namespace {

using Util = MSRConsentSettingsUtil;
using foundation::Value;
constexpr const char* kConsentEndpoint = "http://127.0.0.1:9";

// Where an earlier run's grant of both storage types came from.
enum class Earlier { nothing, publicCall, facadeCall, startOptions };
// How this run's application calls: the public interface or the facade's own.
enum class Call { publicCall, facadeCall };

const char* keyOf(Call call) { return call == Call::publicCall ? "consent_settings_3p" : "consent_settings"; }

class ConsentOfThisRunTest : public MeasurementEventsHarness {
  protected:
    ConsentOfThisRunTest() { startInSetUp = false; }
    void SetUp() override {
        MSRRemoteConfig::setMeasurementURL(std::string(kConsentEndpoint));
        MeasurementEventsHarness::SetUp();
    }
    void TearDown() override {
        MeasurementEventsHarness::TearDown();
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
    }

    // A new process over the data root, whose earlier run left `earlier`:
    // the facade's start has read it, the engine's start is still to come.
    void startAfter(Earlier earlier) {
        stopEngine();
        MSRAnalyticsState::clearConsent();
        const Util::Settings granted{{"ad_storage", Value("granted")}, {"analytics_storage", Value("granted")}};
        switch (earlier) {
            case Earlier::nothing: break;
            case Earlier::publicCall: MSRAnalyticsState::persistConsentSettings(granted, 10); break;
            case Earlier::facadeCall: MSRAnalyticsState::persistConsentSettings(granted, 30); break;
            case Earlier::startOptions: MSRAnalyticsState::suite()->setObject(Value(granted), "consent_settings_on_start"); break;
        }
        MSRAnalytics::loadPersistedConsentSettings();
        MeasurementOptions later = options();
        later.runStart = false;
        startEngine(later);
    }

    struct Outcome {
        std::string signals;
        int64_t source;
        std::map<std::string, std::string> stored;  // the consent keys of the analytics suite
    };
    static Outcome outcome() {
        Outcome found{Util::consentSignals(), Util::consentSource(), {}};
        for (const char* key : {"consent_source", "consent_settings_3p", "consent_settings", "consent_settings_tcf",
                                "consent_settings_on_start"}) {
            const Value value = MSRAnalyticsState::suite()->objectForKey(key);
            if (!value.isAbsent()) found.stored[key] = value.jsonText();
        }
        return found;
    }

    // Every post so far, decoded.
    std::vector<tools::CollectedBundle> posted() {
        std::vector<tools::CollectedBundle> all;
        for (const auto& request : network().requests()) {
            if (request.method != "POST") continue;
            std::vector<tools::CollectedBundle> bundles;
            EXPECT_TRUE(tools::MeasurementCollector::decodeBatch(request.payload, bundles));
            all.insert(all.end(), bundles.begin(), bundles.end());
        }
        return all;
    }
    // Uploads what is stored; with `answerLost`, the server takes the post
    // but its answer never comes back (a time-out), and the engine sends it
    // again at its next upload. Answers what was posted.
    std::vector<tools::CollectedBundle> upload(bool answerLost) {
        database().updateRemoteConfigSuccessfulTimestamp(now(), nullptr);
        network().setResponder([answerLost](const net::FakeNetwork::Request& request) {
            net::FakeNetwork::Reply reply;
            reply.statusCode = request.method == "GET" ? net::kHTTPStatusNotModified : 204;
            if (answerLost && request.method == "POST") {
                reply.statusCode = 0;
                reply.error = net::Error{net::Error::kTimedOut, "timed out"};
            }
            return reply;
        });
        onWorker([this] { engine().uploadData(); });
        std::vector<tools::CollectedBundle> sent = posted();
        network().clearRequests();
        return sent;
    }
};

TEST_F(ConsentOfThisRunTest, TheStartsChoiceAndACallOfThisRunEndAsWhenTheStartComesFirst) {
    struct Case {
        const char* name;
        Earlier earlier;
        Call call;
        const char* signals;  // after the call, in either order
    };
    // The start's choice clears what the facade or the start options left
    // (when the public interface's class exists), then takes the call.
    const Case cases[] = {
        {"nothing before, a public denial", Earlier::nothing, Call::publicCall, "G1-0"},
        {"nothing before, the facade's denial", Earlier::nothing, Call::facadeCall, "G1-0"},
        {"a public grant before, a public denial", Earlier::publicCall, Call::publicCall, "G110"},
        {"a public grant before, the facade's denial refused", Earlier::publicCall, Call::facadeCall, "G111"},
        {"the facade's grant before, a public denial", Earlier::facadeCall, Call::publicCall, "G1-0"},
        {"the facade's grant before, the facade's denial", Earlier::facadeCall, Call::facadeCall, "G1-0"},
        {"start options granted, a public denial", Earlier::startOptions, Call::publicCall, "G110"},
        {"start options granted, the facade's denial", Earlier::startOptions, Call::facadeCall, "G110"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Value::Dictionary denial{{"analytics_storage", Value("denied")}};
        startAfter(c.earlier);
        runUntilIdle();
        MSRAnalytics::setConsent(denial, keyOf(c.call));
        const Outcome startFirst = outcome();
        EXPECT_EQ(startFirst.signals, c.signals);

        startAfter(c.earlier);
        MSRAnalytics::setConsent(denial, keyOf(c.call));
        runUntilIdle();
        const Outcome callFirst = outcome();
        EXPECT_EQ(callFirst.signals, c.signals) << "the start after the call";
        EXPECT_EQ(callFirst.source, startFirst.source) << "the start after the call";
        EXPECT_EQ(callFirst.stored, startFirst.stored) << "the start after the call";
    }
}

// The rounds of the measure, in virtual time: an earlier run granted
// both storage types; this run denies one right after its start, the
// engine's start comes after the denial, events follow; their upload's answer
// is lost, and the next upload sends them again. No event
// logged after the denial goes out stamped granted, and each arrives once (a
// server keeps each bundle index of an app instance once).
class DenialBeforeTheStartTest : public ConsentOfThisRunTest {
  protected:
    void roundsOfADenialOf(const char* type, size_t mark) {
        // Each pair twice: the order is forced, so a round fails or holds
        // every time; the process row repeats its rounds by the hundred.
        constexpr int kRounds = 14;
        constexpr int64_t kEvents = 6;
        // Every pair but the facade's call after a public one, which the
        // lower rank of the facade's call refuses in either order.
        const std::pair<Earlier, Call> kinds[] = {
            {Earlier::nothing, Call::publicCall},     {Earlier::nothing, Call::facadeCall},
            {Earlier::publicCall, Call::publicCall},  {Earlier::facadeCall, Call::publicCall},
            {Earlier::facadeCall, Call::facadeCall},  {Earlier::startOptions, Call::publicCall},
            {Earlier::startOptions, Call::facadeCall}};
        std::map<int64_t, int> arrived;  // by "n", what a server keeps
        std::set<std::pair<std::string, int32_t>> seen;
        int64_t next = 0;
        for (int round = 0; round < kRounds; ++round) {
            const auto [earlier, call] = kinds[round % std::size(kinds)];
            SCOPED_TRACE("round " + std::to_string(round));
            startAfter(earlier);
            MSRAnalytics::setConsent({{type, Value("denied")}}, keyOf(call));
            runUntilIdle();
            const int64_t first = next;
            for (; next < first + kEvents; ++next)
                engine().logEvent("app", true, "after_denial", {{"n", MSRValue(next)}}, now(), true, false, false,
                                  {}, std::nullopt);
            runUntilIdle();
            std::vector<tools::CollectedBundle> sent = upload(true);
            for (auto& bundle : upload(false)) sent.push_back(std::move(bundle));

            for (const tools::CollectedBundle& bundle : sent) {
                bool ours = false;
                for (const auto& event : bundle.events) ours |= event.name == "after_denial";
                if (!ours) continue;
                ASSERT_TRUE(bundle.consentSignals) << "sent without its consent";
                EXPECT_EQ(bundle.consentSignals->at(mark), '0') << "stamped " << *bundle.consentSignals;
                if (mark == 3) {
                    EXPECT_FALSE(bundle.appInstanceID) << "the app instance id under a denial";
                }
                if (!seen.emplace(bundle.appInstanceID.value_or(""), bundle.bundleIndex).second) continue;
                for (const auto& event : bundle.events)
                    if (event.name == "after_denial") ++arrived[*event.intParam("n")];
            }
            if (HasFailure()) return;
        }
        EXPECT_EQ(arrived.size(), static_cast<size_t>(next));
        for (const auto& [n, times] : arrived) EXPECT_EQ(times, 1) << "event " << n;
    }
};

TEST_F(DenialBeforeTheStartTest, ADenialOfAnalyticsStorageHoldsForEveryEventAfterIt) {
    roundsOfADenialOf("analytics_storage", 3);
}

TEST_F(DenialBeforeTheStartTest, ADenialOfAdStorageHoldsForEveryEventAfterIt) { roundsOfADenialOf("ad_storage", 2); }

}  // namespace
