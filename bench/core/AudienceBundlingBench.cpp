// Bundling with audiences evaluated on the device: stored raw events are
// bundled with and without 20 audiences of 5 filters each, every event of
// the stream concerning one filter of every audience (counts, number and
// text parameters, a server-sent regular expression, dynamic, sequence and
// session-scoped filters). And the time of one regular-expression filter
// over a text made to defeat backtracking engines.

#include <benchmark/benchmark.h>

#include "bench/core/BundlingBenchEngine.h"
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "analytics/audience/MSRAudienceEvaluator.h"
#include "analytics/audience/MSRAudienceFilterMatching.h"
#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/FileSystem.h"
#include "platform/net/FakeNetwork.h"

namespace {

using foundation::Value;

constexpr int kEventsPerRound = 1000;

// Names of the stream; every audience looks at each of them.
const char* const kNames[] = {"kal_calculate", "kal_open_history", "kal_share", "kal_chart", "kal_manual"};
constexpr int kNameCount = 5;

using bench::Engine;
using bench::typicalParameters;

MSRPBStringFilter stringFilter(int32_t type, const std::string& expression, std::vector<std::string> list = {}) {
    MSRPBStringFilter filter;
    MSRPBSetInt32(filter, MSRStringFilterSlot::kMatchType, type);
    if (!expression.empty()) MSRPBSetString(filter, MSRStringFilterSlot::kExpression, expression);
    if (!list.empty()) MSRPBSetArray(filter, MSRStringFilterSlot::kExpressionList, {list.begin(), list.end()});
    return filter;
}

MSRPBNumberFilter numberFilter(int32_t type, const std::string& value) {
    MSRPBNumberFilter filter;
    MSRPBSetInt32(filter, MSRNumberFilterSlot::kComparisonType, type);
    MSRPBSetString(filter, MSRNumberFilterSlot::kComparisonValue, value);
    return filter;
}

MSRPBFilter parameterFilter(const std::string& name, std::optional<MSRPBStringFilter> text,
                            std::optional<MSRPBNumberFilter> number, bool complement = false) {
    MSRPBFilter filter;
    MSRPBSetString(filter, MSRFilterSlot::kParameterName, name);
    if (text) MSRPBSetMessage(filter, MSRFilterSlot::kStringFilter, *text);
    if (number) MSRPBSetMessage(filter, MSRFilterSlot::kNumberFilter, *number);
    if (complement) MSRPBSetBool(filter, MSRFilterSlot::kComplement, true);
    return filter;
}

// Audience a: filter i looks at name i, each of its own kind.
std::vector<MSRPBAudience> audiences(int count) {
    std::vector<MSRPBAudience> all;
    for (int a = 0; a < count; ++a) {
        std::vector<MSRPBEventFilter> filters;
        for (int i = 0; i < kNameCount; ++i) {
            MSRPBEventFilter filter;
            MSRPBSetInt32(filter, MSREventFilterSlot::kFilterID, i);
            MSRPBSetString(filter, MSREventFilterSlot::kEventName, kNames[i]);
            std::vector<MSRPBFilter> parameters;
            switch (i) {
                case 0:
                    MSRPBSetMessage(filter, MSREventFilterSlot::kCountFilter, numberFilter(2, std::to_string(2 + a)));
                    break;
                case 1:
                    parameters.push_back(parameterFilter("steps", std::nullopt, numberFilter(2, std::to_string(12 + a % 5))));
                    MSRPBSetBool(filter, MSREventFilterSlot::kDynamic, true);
                    break;
                case 2:
                    parameters.push_back(parameterFilter("form", stringFilter(2, "LOG"), std::nullopt));
                    MSRPBSetBool(filter, MSREventFilterSlot::kSequence, true);
                    break;
                case 3:
                    parameters.push_back(parameterFilter("screen", stringFilter(1, "^calc.*controller$"), std::nullopt));
                    MSRPBSetBool(filter, MSREventFilterSlot::kSessionScoped, true);
                    break;
                default:
                    parameters.push_back(parameterFilter("language", stringFilter(6, "", {"en", "fr"}), std::nullopt, true));
                    MSRPBSetBool(filter, MSREventFilterSlot::kDynamic, true);
                    break;
            }
            if (!parameters.empty()) MSRPBSetMessageArray(filter, MSREventFilterSlot::kParameterFilters, parameters);
            filters.push_back(std::move(filter));
        }
        MSRPBAudience audience;
        MSRPBSetInt32(audience, MSRAudienceSlot::kAudienceID, 100 + a);
        MSRPBSetMessageArray(audience, MSRAudienceSlot::kEventFilters, filters);
        all.push_back(std::move(audience));
    }
    return all;
}

// Arg: the number of audiences (0 or 20).
void BM_BundleWithAudiences(benchmark::State& state) {
    MSRRegisterAudience();
    Engine setup("audience");
    if (!setup.engine || !setup.engine->database()) {
        state.SkipWithError("engine did not start");
        return;
    }
    MSRMeasurement& engine = *setup.engine;
    MSRDatabase& database = *engine.database();
    if (!engine.audience()->updateAudiences(audiences(static_cast<int>(state.range(0))))) {
        state.SkipWithError("audiences not stored");
        return;
    }
    MSRPBMeasurementBundle metadata = engine.createRawEventMetadataWithUserAttributes({});
    MSRPBSetString(metadata, MSRBundleSlot::kAppID, "app.calvaro");
    database.insertIfNotExistsRawEventMetadata(metadata, nullptr);
    const int64_t fingerprint = static_cast<int64_t>(msr_64LSBMD5(*metadata.protoBuffer()));
    // Each round's events come later than the last round's, as a stream in
    // time does.
    const double hour = std::floor(dispatch::Clock::now() / 3600) * 3600;
    int64_t round = 0;
    auto eventsOfRound = [&] {
        std::vector<MSREvent> events;
        for (int i = 0; i < kEventsPerRound; ++i) {
            const double time = hour + static_cast<double>(round * kEventsPerRound + i) * 0.01;
            events.push_back(*MSREvent::initWithOrigin("app", true, kNames[i % kNameCount], time, 0, typicalParameters(i)));
        }
        ++round;
        return events;
    };
    int64_t audienceResults = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<MSREvent> events = eventsOfRound();
        bench::storeRawEvents(database, metadata, fingerprint, events);
        state.ResumeTiming();
        while (engine.bundleRawEvents()) {
        }
        state.PauseTiming();
        auto queued = database.queryBundlesWithCountLimit(1000, int64_t{1} << 40, nullptr);
        if (!queued) {
            state.SkipWithError("queue unreadable");
            return;
        }
        std::vector<int64_t> rowIDs;
        for (auto& [bundle, rowID] : *queued) {
            rowIDs.push_back(rowID);
            audienceResults += static_cast<int64_t>(
                MSRPBGetMessageArray<MSRPBAudienceLeafFilterResult>(bundle, MSRBundleSlot::kAudienceResults).size());
        }
        database.deleteBundlesWithRowIDs(rowIDs, nullptr);
        state.ResumeTiming();
    }
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(state.iterations() * kEventsPerRound),
                                                       benchmark::Counter::kIsRate);
    state.counters["audience_results_per_round"] =
        state.iterations() ? static_cast<double>(audienceResults) / state.iterations() : 0;
    MSRComponentRegistry::registerMaker<MSRAudience>(nullptr);
}
BENCHMARK(BM_BundleWithAudiences)->Arg(0)->Arg(1)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// "(a+)+$" over 10,000 "a" and a "b": the filter is refused by the text in
// linear time.
void BM_HostilePattern(benchmark::State& state) {
    MSRPBStringFilter filter = stringFilter(1, "(a+)+$");
    const std::string text = std::string(10000, 'a') + "b";
    for (auto _ : state) benchmark::DoNotOptimize(MSRMatchStringFilter(filter, text));
}
BENCHMARK(BM_HostilePattern)->Unit(benchmark::kMicrosecond);

// One event filter with one parameter filter matched against the longest
// text a parameter may hold (500 characters), beside the work the bound on a
// configuration charges for it: the time of one work unit is what the bound
// stands for. Arg: the case below.
void BM_FilterMatchWork(benchmark::State& state) {
    struct Case {
        const char* label;
        std::optional<MSRPBStringFilter> text;
        std::optional<MSRPBNumberFilter> number;
        MSRValue value;
    };
    const std::string ascii(500, 'a');
    std::string accented;
    for (int i = 0; i < 250; ++i) accented += "\xc3\xa9";  // 500 characters, 1000 bytes
    std::string ab;
    for (int i = 0; i < 250; ++i) ab += "ab";
    const Case cases[] = {
        {"hostile (?:.?){1000}X", stringFilter(1, "(?:.?){1000}X"), std::nullopt, MSRValue(ascii)},
        {"hostile (?:.?){1000}X, origin", stringFilter(1, "(?:.?){1000}X"), std::nullopt, MSRValue("app")},
        {"DFA out of memory", stringFilter(1, "[ab]*a[ab]{1000}[ab]{1000}c"), std::nullopt, MSRValue(ab)},
        {"ordinary ^calc.*controller$", stringFilter(1, "^calc.*controller$"), std::nullopt, MSRValue(ascii)},
        {"contains, ignoring case", stringFilter(4, "\xc3\x89z"), std::nullopt, MSRValue(accented)},
        {"number", std::nullopt, numberFilter(2, "12.5"), MSRValue(3.25)},
    };
    const Case& c = cases[state.range(0)];
    state.SetLabel(c.label);
    MSRPBFilter parameter = parameterFilter("p", c.text, c.number);
    MSRPBEventFilter filter;
    MSRPBSetInt32(filter, MSREventFilterSlot::kFilterID, 0);
    MSRPBSetString(filter, MSREventFilterSlot::kEventName, "e");
    MSRPBSetMessageArray(filter, MSREventFilterSlot::kParameterFilters, std::vector<MSRPBFilter>{parameter});
    MSRRegexCache regexes;
    const MSRCompiledEventFilter compiled(filter, regexes);
    const MSRParameters parameters{{"p", c.value}};
    const MSREventAggregates aggregates = *MSREventAggregates::initWithName("e", 1, 1, 1, 100);
    // The longest text: 500 characters of at most 4 bytes.
    const int64_t work = MSREventFilterWork(filter, regexes, 2000);
    for (auto _ : state) benchmark::DoNotOptimize(compiled.match("e", parameters, aggregates));
    state.counters["work_units"] = static_cast<double>(work);
    // Its inverse is the time of one unit: 3.3G/s, 0.3 ns.
    state.counters["units_per_s"] =
        benchmark::Counter(static_cast<double>(work), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FilterMatchWork)->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);

}  // namespace
