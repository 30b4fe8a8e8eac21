#include "analytics/audience/MSRAudienceEvaluator.h"

#include <algorithm>
#include <map>

#include "analytics/audience/MSRAudienceFilterMatching.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRRemoteConfig.h"

namespace {

namespace ResultSlot = MSRResultDataSlot;

void report(int64_t level, int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
    if (std::shared_ptr<MSRMonitor> monitor = MSRMonitor::shared())
        monitor->logWithLevel(level, code, message, contexts);
}

// --- Status and result words: bit F % 64 of word F / 64 is filter F ---

struct ResultWords {
    std::vector<uint64_t> status;
    std::vector<uint64_t> results;
};

std::vector<uint64_t> wordsOf(const MSRPBResultData& data, uint32_t slot) {
    std::vector<uint64_t> words;
    for (const MSRPBValue& value : MSRPBGetArray(data, slot)) {
        if (const auto* word = std::get_if<uint64_t>(&value)) words.push_back(*word);
    }
    return words;
}

ResultWords wordsOf(const MSRPBResultData& data) {
    return {wordsOf(data, ResultSlot::kStatus), wordsOf(data, ResultSlot::kResults)};
}

std::vector<MSRPBValue> valuesOf(const std::vector<uint64_t>& words) {
    return {words.begin(), words.end()};
}

bool bitSet(const std::vector<uint64_t>& words, int32_t filterID) {
    const size_t word = static_cast<size_t>(filterID) / 64;
    return word < words.size() && (words[word] & (uint64_t{1} << (filterID % 64))) != 0;
}

bool isTrueIn(const ResultWords& words, int32_t filterID) {
    if (filterID < 0 || static_cast<size_t>(filterID) / 64 >= words.status.size()) return false;
    return bitSet(words.status, filterID) && bitSet(words.results, filterID);
}

void record(ResultWords& words, int32_t filterID, bool outcome) {
    if (filterID < 0) return;
    const size_t word = static_cast<size_t>(filterID) / 64;
    const uint64_t mask = uint64_t{1} << (filterID % 64);
    if (words.status.size() <= word) words.status.resize(word + 1, 0);
    if (words.results.size() <= word) words.results.resize(word + 1, 0);
    words.status[word] |= mask;
    if (outcome) {
        words.results[word] |= mask;
    } else {
        words.results[word] &= ~mask;
    }
}

std::vector<uint8_t> encodedResultData(const ResultWords& words, const MSRAudienceTimestampsCache& cache,
                                       int32_t audienceID) {
    MSRPBResultData data;
    MSRPBSetArray(data, ResultSlot::kStatus, valuesOf(words.status));
    MSRPBSetArray(data, ResultSlot::kResults, valuesOf(words.results));
    std::vector<MSRPBDynamicFilterResultTimestamp> dynamic = cache.dynamicTimestampsForAudienceID(audienceID);
    if (!dynamic.empty()) MSRPBSetMessageArray(data, ResultSlot::kDynamicTimestamps, std::move(dynamic));
    std::optional<std::vector<MSRPBSequenceFilterResultTimestamp>> sequence =
        cache.sequenceTimestampsForAudienceID(audienceID);
    if (sequence && !sequence->empty()) MSRPBSetMessageArray(data, ResultSlot::kSequenceTimestamps, std::move(*sequence));
    return data.protoBuffer().value_or(std::vector<uint8_t>{});
}

// --- What one bundle keeps ---

// One audience's result as the bundle sees it: as stored, then as changed.
struct AudienceState {
    bool stored = false;
    std::vector<uint8_t> current;  // as stored; stale while `changed`
    std::vector<uint8_t> previous;
    ResultWords words;
    bool readable = false;  // the words hold both arrays
    bool changed = false;
    bool populated = false;  // its stored times are in the bundle's cache

    MSRFilterResult storedResult(int32_t audienceID) const { return MSRFilterResult(audienceID, current, previous); }
};

template <typename Record, typename Compiled>
struct LoadedFilter {
    Record record;
    // Nothing when the stored bytes are empty or do not decode.
    std::optional<Compiled> compiled;
};

using LoadedEventFilter = LoadedFilter<MSREventFilter, MSRCompiledEventFilter>;
using LoadedPropertyFilter = LoadedFilter<MSRPropertyFilter, MSRCompiledPropertyFilter>;

class BundleState : public MSRAudienceBundleState {
  public:
    // First, so that it outlives the filters whose expressions it holds,
    // even when a new configuration replaces the evaluator's.
    std::shared_ptr<MSRRegexCache> regexes;
    std::map<std::string, std::vector<LoadedEventFilter>, std::less<>> eventFilters;
    std::map<std::string, std::vector<LoadedPropertyFilter>, std::less<>> propertyFilters;
    std::map<int32_t, AudienceState> audiences;
};

BundleState& stateOf(MSRAudienceTimestampsCache& cache, const std::shared_ptr<MSRRegexCache>& regexes) {
    auto* state = dynamic_cast<BundleState*>(cache.bundleState());
    if (!state) {
        auto made = std::make_unique<BundleState>();
        made->regexes = regexes;
        state = made.get();
        cache.setBundleState(std::move(made));
    }
    return *state;
}

template <typename Message>
std::optional<Message> decodedFilter(const std::vector<uint8_t>& data) {
    if (data.empty()) return std::nullopt;
    return Message::initWithBuffer(data);
}

// The audience's state, read from storage the first time the bundle needs
// it; null (with the error) when the read failed.
AudienceState* audienceState(MSRDatabase& database, BundleState& state, int32_t audienceID, MSRError* error) {
    auto found = state.audiences.find(audienceID);
    if (found != state.audiences.end()) return &found->second;
    MSRError readError;
    std::optional<MSRFilterResult> result = database.filterResultForAudienceID(audienceID, &readError);
    if (!result && readError.code() != 0) {
        if (error) *error = readError;
        return nullptr;
    }
    AudienceState audience;
    if (result) {
        audience.stored = true;
        audience.current = result->currentResults();
        audience.previous = result->previousResults();
        if (!audience.current.empty()) {
            if (std::optional<MSRPBResultData> data = MSRPBResultData::initWithBuffer(audience.current)) {
                audience.words = wordsOf(*data);
            }
        }
        audience.readable = !audience.words.status.empty() && !audience.words.results.empty();
    }
    return &state.audiences.emplace(audienceID, std::move(audience)).first->second;
}

bool wasTrue(const AudienceState& audience, int32_t audienceID, int32_t filterID) {
    if (!audience.stored || (!audience.changed && audience.current.empty())) return false;
    if (!audience.readable) {
        report(2, 6023,
               "Audience filter result is non-nil and is missing status or results array. Audience result will not "
               "be bundled. Audience ID, result data",
               {audienceID});
        return false;
    }
    return isTrueIn(audience.words, filterID);
}

void populate(MSRAudienceTimestampsCache& cache, AudienceState& audience, int32_t audienceID) {
    if (audience.populated) return;
    audience.populated = true;
    if (audience.stored && !audience.changed) {
        MSRFilterResult stored = audience.storedResult(audienceID);
        cache.populateCachedTimestamps(&stored, audienceID);
    } else {
        cache.populateCachedTimestamps(nullptr, audienceID);
    }
}

void recordOutcome(AudienceState& audience, int32_t filterID, bool outcome) {
    record(audience.words, filterID, outcome);
    audience.stored = true;
    audience.readable = true;
    audience.changed = true;
}

bool needsEvaluation(bool wasTrue, const MSRAudienceFilter& filter) {
    return !wasTrue || filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

// The message with its names made internal: the event name, the parameter
// names (written back only when one changed) or the property name.
void rewriteEventFilterNames(MSRPBEventFilter& filter) {
    namespace Slot = MSREventFilterSlot;
    const MSRNameMap& events = MSRInternalEventNameMap();
    if (std::optional<std::string> name = MSRPBGetString(filter, Slot::kEventName)) {
        auto internal = events.find(*name);
        if (internal != events.end()) MSRPBSetString(filter, Slot::kEventName, internal->second);
    }
    std::vector<MSRPBFilter> parameterFilters = MSRPBGetMessageArray<MSRPBFilter>(filter, Slot::kParameterFilters);
    const MSRNameMap& parameters = MSRInternalParameterNameMap();
    bool changed = false;
    for (MSRPBFilter& parameterFilter : parameterFilters) {
        std::optional<std::string> name = MSRPBGetString(parameterFilter, MSRFilterSlot::kParameterName);
        if (!name) continue;
        auto internal = parameters.find(*name);
        if (internal == parameters.end()) continue;
        MSRPBSetString(parameterFilter, MSRFilterSlot::kParameterName, internal->second);
        changed = true;
    }
    if (changed) MSRPBSetMessageArray(filter, Slot::kParameterFilters, std::move(parameterFilters));
}

void rewritePropertyFilterName(MSRPBPropertyFilter& filter) {
    namespace Slot = MSRPropertyFilterSlot;
    const MSRNameMap& properties = MSRReservedUserPropertyNameMap();
    if (std::optional<std::string> name = MSRPBGetString(filter, Slot::kPropertyName)) {
        auto internal = properties.find(*name);
        if (internal != properties.end()) MSRPBSetString(filter, Slot::kPropertyName, internal->second);
    }
}

// The longest text an event parameter or user property may hold, in
// bytes: the setting counts characters, of at most 4 bytes each.
int64_t longestTextBytes(MSRRemoteConfig& settings) {
    return 4 * std::max<int64_t>(settings.maxInternalEventParameterValueLength(),
                                 MSRDataTypeValidator::kMaxUserPropertyValueLength);
}

// The entries of the expression lists in the string filters of an
// audience's event parameter filters and property filters. Each is kept in
// memory (in the message and compiled) whenever its filter is matched.
int64_t expressionListEntries(const MSRPBAudience& audience) {
    const std::vector<uint8_t> encoded = audience.protoBuffer().value_or(std::vector<uint8_t>{});
    const MSRPBMessageType& type = MSRPBAudience::type();
    const std::optional<size_t> inEventFilters = MSRPBCountEncodedFields(
        encoded, type,
        {MSRAudienceSlot::kEventFilters, MSREventFilterSlot::kParameterFilters, MSRFilterSlot::kStringFilter,
         MSRStringFilterSlot::kExpressionList});
    const std::optional<size_t> inPropertyFilters = MSRPBCountEncodedFields(
        encoded, type,
        {MSRAudienceSlot::kPropertyFilters, MSRPropertyFilterSlot::kFilter, MSRFilterSlot::kStringFilter,
         MSRStringFilterSlot::kExpressionList});
    return static_cast<int64_t>(inEventFilters.value_or(0) + inPropertyFilters.value_or(0));
}

}  // namespace

MSRAudienceEvaluator::MSRAudienceEvaluator(std::shared_ptr<MSRDatabase> database,
                                           std::shared_ptr<MSRRemoteConfig> remoteConfig)
    : MSRAudience(std::move(database)),
      remoteConfig_(std::move(remoteConfig)),
      regexes_(std::make_shared<MSRRegexCache>()) {}

MSRRemoteConfig& MSRAudienceEvaluator::remoteConfig() const {
    if (remoteConfig_) return *remoteConfig_;
    return *MSRMeasurement::remoteConfigShared();
}

// --- Definitions ---

bool MSRAudienceEvaluator::updateAudiences(const std::vector<MSRPBAudience>& audiences) {
    if (static_cast<int64_t>(audiences.size()) > remoteConfig().maxAudienceCount()) {
        report(2, 6008, "Configuration contains too many audiences. Audiences will not be saved. Audience count",
               {static_cast<int64_t>(audiences.size())});
        return true;
    }
    // The entries of the expression lists, of every match type, are counted
    // on the wire before any filter is copied out of its audience.
    int64_t listEntries = 0;
    for (const MSRPBAudience& audience : audiences) listEntries += expressionListEntries(audience);
    if (listEntries > kMaxListEntries) {
        report(1, 6045,
               "Configuration contains too many filter list entries. Audiences will not be saved. Entry count, max "
               "entry count",
               {listEntries, kMaxListEntries});
        return true;
    }
    std::set<int32_t> accepted;
    // The new configuration's expressions draw on a budget of their own; what
    // its check compiles is what its bundles will match with.
    auto regexes = std::make_shared<MSRRegexCache>();
    std::vector<MSREventFilter> eventFilters;
    std::vector<MSRPropertyFilter> propertyFilters;
    // What matching may cost for one event or one property of each name:
    // every filter on the name may run for it, each once.
    const int64_t textBytes = longestTextBytes(remoteConfig());
    std::map<std::string, int64_t> eventWork, propertyWork;
    for (const MSRPBAudience& audience : audiences) {
        MSRError invalid;
        if (!MSRValidateAudience(audience, accepted, remoteConfig(), &invalid, regexes.get())) {
            report(2, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
                   {MSRPBGetInt32(audience, MSRAudienceSlot::kAudienceID), invalid});
            continue;
        }
        const int32_t audienceID = MSRPBGetInt32(audience, MSRAudienceSlot::kAudienceID);
        accepted.insert(audienceID);
        for (MSRPBEventFilter& filter : MSRPBGetMessageArray<MSRPBEventFilter>(audience, MSRAudienceSlot::kEventFilters)) {
            namespace Slot = MSREventFilterSlot;
            rewriteEventFilterNames(filter);
            eventWork[MSRPBGetString(filter, Slot::kEventName).value_or("")] +=
                MSREventFilterWork(filter, *regexes, textBytes);
            eventFilters.emplace_back(audienceID, MSRPBGetInt32(filter, Slot::kFilterID),
                                      MSRPBGetString(filter, Slot::kEventName).value_or(""),
                                      filter.protoBuffer().value_or(std::vector<uint8_t>{}),
                                      MSRPBGetBool(filter, Slot::kSessionScoped), MSRPBGetBool(filter, Slot::kDynamic),
                                      MSRPBGetBool(filter, Slot::kSequence));
        }
        for (MSRPBPropertyFilter& filter :
             MSRPBGetMessageArray<MSRPBPropertyFilter>(audience, MSRAudienceSlot::kPropertyFilters)) {
            namespace Slot = MSRPropertyFilterSlot;
            rewritePropertyFilterName(filter);
            propertyWork[MSRPBGetString(filter, Slot::kPropertyName).value_or("")] +=
                MSRPropertyFilterWork(filter, *regexes, textBytes);
            propertyFilters.emplace_back(audienceID, MSRPBGetInt32(filter, Slot::kFilterID),
                                         MSRPBGetString(filter, Slot::kPropertyName).value_or(""),
                                         filter.protoBuffer().value_or(std::vector<uint8_t>{}),
                                         MSRPBGetBool(filter, Slot::kSessionScoped),
                                         MSRPBGetBool(filter, Slot::kDynamic), MSRPBGetBool(filter, Slot::kSequence));
        }
    }
    // Each filter's patterns may be within their budget and the filters
    // within their counts while the whole is not: a cheap pattern matched by
    // thousands of filters for every event, or a long list. Such a
    // configuration is refused whole, and the stored one stays.
    for (const auto* work : {&eventWork, &propertyWork}) {
        auto costliest = std::max_element(work->begin(), work->end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
        if (costliest == work->end() || costliest->second <= kMaxMatchingWork) continue;
        report(1, 6044,
               "Audience filters on one name cost too much to match. Audiences will not be saved. Name, matching "
               "work, max matching work",
               {work == &eventWork ? MSRDebugEventName(costliest->first) : MSRDebugUserPropertyName(costliest->first),
                costliest->second, kMaxMatchingWork});
        return true;
    }
    if (!maybeDeleteStaleFilterResults(accepted)) return false;
    MSRError error;
    if (!database_->deleteAllEventFilters(&error)) {
        report(1, 6010, "Unable to delete existing Audience event filters. Audiences will not be saved. Error", {error});
        return false;
    }
    if (!database_->deleteAllPropertyFilters(&error)) {
        report(1, 6011, "Unable to delete existing Audience user property filters. Audiences will not be saved. Error",
               {error});
        return false;
    }
    if (!eventFilters.empty() && !database_->updateEventFilters(eventFilters, &error)) {
        report(1, 6012, "Unable to save Audience event filters. Audiences will not be saved. Error", {error});
        return false;
    }
    if (!propertyFilters.empty() && !database_->updatePropertyFilters(propertyFilters, &error)) {
        report(1, 6013, "Unable to save Audience user property filters. Audiences will not be saved. Error", {error});
        return false;
    }
    regexes_ = std::move(regexes);
    return true;
}

bool MSRAudienceEvaluator::maybeDeleteStaleFilterResults(const std::set<int32_t>& validAudienceIDs) {
    MSRError error;
    std::optional<std::map<int32_t, MSRFilterResult>> results = database_->allFilterResults(&error);
    if (!results) {
        report(1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error", {error});
        return false;
    }
    const int64_t maximum = remoteConfig().maxFilterResultCount();
    if (static_cast<int64_t>(results->size()) <= maximum) return true;
    report(3, 6016,
           "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter result count, max "
           "filter result count",
           {static_cast<int64_t>(results->size()), maximum});
    // The stored IDs are still those of the previous configuration: its
    // filters are replaced only after this.
    std::optional<std::vector<int32_t>> storedIDs = database_->allAudienceIDs(&error);
    if (!storedIDs) {
        report(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error", {error});
        return false;
    }
    std::set<int32_t> kept(storedIDs->begin(), storedIDs->end());
    kept.insert(validAudienceIDs.begin(), validAudienceIDs.end());
    std::vector<MSRFilterResult> stale;
    for (const auto& [audienceID, result] : *results) {
        if (!kept.count(audienceID)) stale.push_back(result);
    }
    if (!stale.empty() && !database_->deleteFilterResults(stale, &error)) {
        report(1, 6018, "Unable to delete stale Audience filter results. Audiences will not be saved. Error", {error});
        return false;
    }
    return true;
}

bool MSRAudienceEvaluator::hasEventFilters() const {
    MSRError error;
    std::optional<bool> contains = database_->containsEventFilters(&error);
    // Unknown counts as yes: the way of event objects serves every bundle.
    return contains.value_or(true);
}

// --- Evaluation ---

bool MSRAudienceEvaluator::evaluateFiltersForEvent(const MSREvent& event, const MSREventAggregates& aggregates,
                                                   MSRAudienceTimestampsCache* cache) {
    return evaluateFiltersForEventName(event.name(), event.parameters(), aggregates, event.timestamp(), cache);
}

bool MSRAudienceEvaluator::evaluateFiltersForEventName(const std::string& name, const MSRParameters& parameters,
                                                       const MSREventAggregates& aggregates, double timestamp,
                                                       MSRAudienceTimestampsCache* cache) {
    std::unique_ptr<MSRAudienceTimestampsCache> callCache;
    if (!cache) {
        callCache = std::make_unique<MSRAudienceTimestampsCache>();
        cache = callCache.get();
    }
    BundleState& state = stateOf(*cache, regexes_);
    auto filters = state.eventFilters.find(name);
    if (filters == state.eventFilters.end()) {
        MSRError error;
        std::optional<std::vector<MSREventFilter>> read = database_->eventFiltersForEventName(name, &error);
        if (!read) {
            report(1, 6000, "Unable to query event filters for event. Event will not be evaluated. Event name, error",
                   {MSRDebugEventName(name), error});
            return false;
        }
        std::vector<LoadedEventFilter> loaded;
        for (MSREventFilter& filter : *read) {
            std::optional<MSRPBEventFilter> message = decodedFilter<MSRPBEventFilter>(filter.data());
            std::optional<MSRCompiledEventFilter> compiled;
            if (message) compiled.emplace(*message, *state.regexes);
            loaded.push_back({std::move(filter), std::move(compiled)});
        }
        filters = state.eventFilters.emplace(name, std::move(loaded)).first;
    }
    for (const LoadedEventFilter& filter : filters->second) {
        const int32_t audienceID = filter.record.audienceID();
        const int32_t filterID = filter.record.filterID();
        MSRError error;
        AudienceState* audience = audienceState(*database_, state, audienceID, &error);
        if (!audience) {
            report(1, 6001, "Unable to query filter result for audience. Event will not be evaluated. Event name, error",
                   {MSRDebugEventName(name), error});
            return false;
        }
        const bool held = wasTrue(*audience, audienceID, filterID);
        if (!needsEvaluation(held, filter.record)) continue;
        if (!filter.compiled) {
            report(1, 6035,
                   "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, filter ID, "
                   "audience ID, dynamic",
                   {MSRDebugEventName(name), filterID, audienceID, filter.record.isDynamic()});
            continue;
        }
        std::optional<bool> outcome = filter.compiled->match(name, parameters, aggregates);
        if (!outcome) continue;
        populate(*cache, *audience, audienceID);
        if (*outcome) {
            cache->addEvaluationTimestamp(timestamp, filter.record);
        } else if (held) {
            // An event filter that once held keeps holding.
            outcome = true;
        }
        recordOutcome(*audience, filterID, *outcome);
    }
    if (callCache) {
        return storeChangedResults(*callCache, 6003,
                                   "Unable to save updated Audience filter results. Event will not be evaluated. Event "
                                   "name, error",
                                   MSRDebugEventName(name));
    }
    return true;
}

bool MSRAudienceEvaluator::evaluateFiltersForUserProperty(const MSRUserAttribute& attribute,
                                                          MSRAudienceTimestampsCache* cache,
                                                          double evaluationTimestamp) {
    std::unique_ptr<MSRAudienceTimestampsCache> callCache;
    if (!cache) {
        callCache = std::make_unique<MSRAudienceTimestampsCache>();
        cache = callCache.get();
    }
    BundleState& state = stateOf(*cache, regexes_);
    const std::string& name = attribute.name();
    auto filters = state.propertyFilters.find(name);
    if (filters == state.propertyFilters.end()) {
        MSRError error;
        std::optional<std::vector<MSRPropertyFilter>> read = database_->propertyFiltersForPropertyName(name, &error);
        if (!read) {
            report(1, 6004,
                   "Unable to query property filters for property. Property will not be evaluated. Property name, error",
                   {MSRDebugUserPropertyName(name), error});
            return false;
        }
        std::vector<LoadedPropertyFilter> loaded;
        for (MSRPropertyFilter& filter : *read) {
            std::optional<MSRPBPropertyFilter> message = decodedFilter<MSRPBPropertyFilter>(filter.data());
            std::optional<MSRCompiledPropertyFilter> compiled;
            if (message) compiled.emplace(*message, *state.regexes);
            loaded.push_back({std::move(filter), std::move(compiled)});
        }
        filters = state.propertyFilters.emplace(name, std::move(loaded)).first;
    }
    for (const LoadedPropertyFilter& filter : filters->second) {
        const int32_t audienceID = filter.record.audienceID();
        const int32_t filterID = filter.record.filterID();
        MSRError error;
        AudienceState* audience = audienceState(*database_, state, audienceID, &error);
        if (!audience) {
            report(1, 6005,
                   "Unable to query filter result for audience. Property will not be evaluated. Property name, error",
                   {MSRDebugUserPropertyName(name), error});
            return false;
        }
        const bool held = wasTrue(*audience, audienceID, filterID);
        if (!needsEvaluation(held, filter.record)) continue;
        if (!filter.compiled) {
            report(1, 6036,
                   "User property filter contains no data or corrupt data. User property will not be evaluated. User "
                   "property name, filter ID, audience ID, dynamic",
                   {MSRDebugUserPropertyName(name), filterID, audienceID, filter.record.isDynamic()});
            continue;
        }
        std::optional<bool> matched = filter.compiled->match(attribute);
        if (!matched) continue;
        // A property filter that held and now fails counts only where the
        // filter follows the property (dynamic, sequence) or the session.
        if (!*matched && held && !filter.record.isDynamic() && !filter.record.isSequence() &&
            !filter.record.isSessionScoped())
            continue;
        populate(*cache, *audience, audienceID);
        if (*matched) cache->addEvaluationTimestamp(evaluationTimestamp, filter.record);
        const bool recorded =
            (*matched || (filter.record.isDynamic() && !filter.record.isSessionScoped())) ? *matched : held;
        recordOutcome(*audience, filterID, recorded);
    }
    if (callCache) {
        return storeChangedResults(*callCache, 6007,
                                   "Unable to save updated Audience filter results. User property will not be "
                                   "evaluated. User property name, error",
                                   MSRDebugUserPropertyName(name));
    }
    return true;
}

std::optional<MSRUserAttribute> MSRAudienceEvaluator::userAttributeFromNanoUserAttribute(
    const MSRPBUserAttribute& attribute) {
    namespace Slot = MSRUserAttributeSlot;
    std::optional<MSRValue> value;
    if (std::optional<std::string> text = MSRPBGetString(attribute, Slot::kStringValue)) {
        value = MSRValue(std::move(*text));
    } else if (MSRPBHasField(attribute, Slot::kDoubleValue)) {
        value = MSRValue(MSRPBGetDouble(attribute, Slot::kDoubleValue));
    } else if (MSRPBHasField(attribute, Slot::kIntValue)) {
        value = MSRValue(MSRPBGetInt64(attribute, Slot::kIntValue));
    }
    std::optional<MSRUserAttribute> converted;
    if (value) {
        converted = MSRUserAttribute::initWithOrigin(
            "", MSRPBGetString(attribute, Slot::kName).value_or(""), std::move(*value),
            static_cast<double>(MSRPBGetInt64(attribute, Slot::kSetTimestamp)) / 1000.0);
    }
    if (!converted) report(2, 6039, "Could not convert user property from nano format.");
    return converted;
}

bool MSRAudienceEvaluator::evaluateFiltersForNanoUserProperty(const MSRPBUserAttribute& attribute,
                                                              MSRAudienceTimestampsCache* cache,
                                                              std::optional<double> evaluationTime) {
    std::optional<MSRUserAttribute> converted = userAttributeFromNanoUserAttribute(attribute);
    if (!converted) return false;
    return evaluateFiltersForUserProperty(*converted, cache, evaluationTime.value_or(converted->lastSetTimestamp()));
}

bool MSRAudienceEvaluator::storeChangedResults(MSRAudienceTimestampsCache& cache, int64_t code, const char* message,
                                               const std::string& name, MSRError* error) {
    auto* state = dynamic_cast<BundleState*>(cache.bundleState());
    if (!state) return true;
    std::vector<MSRFilterResult> changed;
    for (const auto& [audienceID, audience] : state->audiences) {
        if (!audience.changed) continue;
        changed.emplace_back(audienceID, encodedResultData(audience.words, cache, audienceID), audience.previous);
    }
    if (changed.empty()) return true;
    MSRError storeError;
    if (!database_->updateFilterResults(changed, &storeError)) {
        std::vector<MSRLogContext> contexts;
        if (!name.empty()) contexts.emplace_back(name);
        contexts.emplace_back(storeError);
        report(1, code, message, contexts);
        if (error) *error = storeError;
        return false;
    }
    for (MSRFilterResult& result : changed) {
        AudienceState& audience = state->audiences[result.audienceID()];
        audience.current = result.currentResults();
        audience.changed = false;
    }
    return true;
}

// --- Sessions and bundles ---

void MSRAudienceEvaluator::clearEvaluationResultsForSessionScopedFilters() { clearSessionScopedResults(); }

bool MSRAudienceEvaluator::clearSessionScopedResults() {
    MSRError error;
    std::optional<std::map<int32_t, std::vector<int32_t>>> scoped = database_->allSessionScopedFilters(&error);
    if (!scoped) {
        report(1, 6040, "Unable to query all session scoped filters. Session scoped results will not be cleared. Error",
               {error});
        return false;
    }
    std::optional<std::map<int32_t, MSRFilterResult>> results = database_->allFilterResults(&error);
    if (!results) {
        report(1, 6041, "Unable to query all filter results. Session scoped results will not be cleared. Error", {error});
        return false;
    }
    for (const auto& [audienceID, filterIDs] : *scoped) {
        auto result = results->find(audienceID);
        if (result == results->end()) continue;
        std::optional<MSRPBResultData> data = MSRPBResultData::initWithBuffer(result->second.currentResults());
        MSRPBResultData cleared = data ? *data : MSRPBResultData();
        ResultWords words = wordsOf(cleared);
        const std::set<int32_t> sessionIDs(filterIDs.begin(), filterIDs.end());
        for (int32_t filterID : sessionIDs) {
            if (filterID < 0) continue;
            const size_t word = static_cast<size_t>(filterID) / 64;
            const uint64_t mask = uint64_t{1} << (filterID % 64);
            if (word < words.status.size()) words.status[word] &= ~mask;
            if (word < words.results.size()) words.results[word] &= ~mask;
        }
        bool anyStatus = false;
        for (uint64_t word : words.status) anyStatus = anyStatus || word != 0;
        if (!anyStatus) {
            if (!database_->deleteFilterResults({result->second}, &error)) {
                report(1, 6042, "Unable to delete filter results. Session scoped results will not be cleared. Error",
                       {error});
                return false;
            }
            continue;
        }
        MSRPBSetArray(cleared, ResultSlot::kStatus, valuesOf(words.status));
        MSRPBSetArray(cleared, ResultSlot::kResults, valuesOf(words.results));
        std::vector<MSRPBDynamicFilterResultTimestamp> dynamic;
        for (auto& entry :
             MSRPBGetMessageArray<MSRPBDynamicFilterResultTimestamp>(cleared, ResultSlot::kDynamicTimestamps)) {
            if (!sessionIDs.count(MSRPBGetInt32(entry, MSRDynamicFilterResultTimestampSlot::kFilterID)))
                dynamic.push_back(std::move(entry));
        }
        std::vector<MSRPBSequenceFilterResultTimestamp> sequence;
        for (auto& entry :
             MSRPBGetMessageArray<MSRPBSequenceFilterResultTimestamp>(cleared, ResultSlot::kSequenceTimestamps)) {
            if (!sessionIDs.count(MSRPBGetInt32(entry, MSRSequenceFilterResultTimestampSlot::kFilterID)))
                sequence.push_back(std::move(entry));
        }
        MSRPBSetMessageArray(cleared, ResultSlot::kDynamicTimestamps, std::move(dynamic));
        MSRPBSetMessageArray(cleared, ResultSlot::kSequenceTimestamps, std::move(sequence));
        MSRFilterResult updated(audienceID, cleared.protoBuffer().value_or(std::vector<uint8_t>{}),
                                result->second.currentResults());
        if (!database_->updateFilterResults({updated}, &error)) {
            report(2, 6043, "Unable to update filter results. Session scoped results will not be cleared. Error", {error});
            return false;
        }
    }
    return true;
}

std::optional<std::vector<MSRPBAudienceLeafFilterResult>> MSRAudienceEvaluator::resultsForBundling(
    MSRAudienceTimestampsCache* cache, MSRError* error) {
    constexpr const char* kSaveFailed =
        "Unable to save updated Audience filter results. Audience results will not be bundled. Error";
    if (cache && !storeChangedResults(*cache, 6022, kSaveFailed, "", error)) return std::nullopt;
    MSRError readError;
    std::optional<std::map<int32_t, MSRFilterResult>> results = database_->allFilterResults(&readError);
    if (!results) {
        report(1, 6019, "Unable to query Audience filter results. Audience results will not be bundled. Error",
               {readError});
        if (error) *error = readError;
        return std::nullopt;
    }
    namespace Leaf = MSRAudienceLeafFilterResultSlot;
    std::vector<MSRPBAudienceLeafFilterResult> leaves;
    std::vector<MSRFilterResult> moved;
    for (const auto& [audienceID, result] : *results) {
        std::optional<MSRPBResultData> current = MSRPBResultData::initWithBuffer(result.currentResults());
        if (!current) {
            report(2, 6020, "Current result data is nil. Audience result will not be bundled. Audience ID", {audienceID});
            continue;
        }
        bool anyStatus = false;
        for (uint64_t word : wordsOf(*current, ResultSlot::kStatus)) anyStatus = anyStatus || word != 0;
        if (!anyStatus) {
            report(2, 6021, "Current result status is 0. Audience result will not be bundled. Audience ID", {audienceID});
            continue;
        }
        MSRPBAudienceLeafFilterResult leaf;
        MSRPBSetInt32(leaf, Leaf::kAudienceID, audienceID);
        if (!result.previousResults().empty()) {
            MSRPBSetBool(leaf, Leaf::kNewAudience, false);
            std::optional<MSRPBResultData> previous = MSRPBResultData::initWithBuffer(result.previousResults());
            if (previous && previous->protoBuffer() == current->protoBuffer()) {
                // Unchanged since the last bundle: a sequence already sent
                // is sent again only by its last time.
                std::vector<MSRPBSequenceFilterResultTimestamp> sequence =
                    MSRPBGetMessageArray<MSRPBSequenceFilterResultTimestamp>(*current, ResultSlot::kSequenceTimestamps);
                if (!sequence.empty()) {
                    namespace Seq = MSRSequenceFilterResultTimestampSlot;
                    std::vector<MSRPBValue> times = MSRPBGetArray(sequence.front(), Seq::kTimestamps);
                    if (times.size() >= 2) {
                        MSRPBSetArray(sequence.front(), Seq::kTimestamps, {times.back()});
                        MSRPBSetMessageArray(*current, ResultSlot::kSequenceTimestamps, std::move(sequence));
                    }
                }
            } else if (previous) {
                MSRPBSetMessage(leaf, Leaf::kPreviousData, *previous);
            }
        } else {
            MSRPBSetBool(leaf, Leaf::kNewAudience, true);
        }
        MSRPBSetMessage(leaf, Leaf::kCurrentData, *current);
        leaves.push_back(std::move(leaf));
        moved.emplace_back(audienceID, current->protoBuffer().value_or(std::vector<uint8_t>{}), result.currentResults());
    }
    if (!moved.empty()) {
        MSRError storeError;
        if (!database_->updateFilterResults(moved, &storeError)) {
            report(1, 6022, kSaveFailed, {storeError});
            if (error) *error = storeError;
            return std::nullopt;
        }
    }
    return leaves;
}

// --- One filter's outcome ---

bool MSRAudienceEvaluator::isFilterResultTrueForFilterID(const MSRFilterResult* result, int32_t filterID) {
    if (!result || result->currentResults().empty()) return false;
    std::optional<MSRPBResultData> data = MSRPBResultData::initWithBuffer(result->currentResults());
    ResultWords words = data ? wordsOf(*data) : ResultWords{};
    if (words.status.empty() || words.results.empty()) {
        report(2, 6023,
               "Audience filter result is non-nil and is missing status or results array. Audience result will not "
               "be bundled. Audience ID, result data",
               {result->audienceID()});
        return false;
    }
    return isTrueIn(words, filterID);
}

MSRFilterResult MSRAudienceEvaluator::updatedFilterResult(int32_t filterID, int32_t audienceID,
                                                          const MSRFilterResult* current, bool outcome,
                                                          const MSRAudienceTimestampsCache& cache) {
    ResultWords words;
    if (current && !current->currentResults().empty()) {
        if (std::optional<MSRPBResultData> data = MSRPBResultData::initWithBuffer(current->currentResults()))
            words = wordsOf(*data);
    }
    record(words, filterID, outcome);
    return MSRFilterResult(audienceID, encodedResultData(words, cache, audienceID),
                           current ? current->previousResults() : std::vector<uint8_t>{});
}

void MSRRegisterAudience() {
    MSRComponentRegistry::registerMaker<MSRAudience>(
        [](const MSRComponentContext& context) { return std::make_shared<MSRAudienceEvaluator>(context.database); });
}
