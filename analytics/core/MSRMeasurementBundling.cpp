// Turning stored raw events into upload bundles: one run of raw events of one
// metadata record becomes one bundle, in one transaction with the counts,
// aggregates, audiences and bookkeeping it changes.

#include <algorithm>
#include <limits>
#include <map>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/model/MSRFoundationAdditions.h"
#include "analytics/core/model/MSRNameTables.h"
#include "analytics/core/support/MSRMonitor.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"

namespace {

namespace Slot = MSRBundleSlot;

void report(int64_t level, int64_t code, std::string_view message,
            const std::vector<MSRLogContext>& contexts = {}) {
    if (std::shared_ptr<MSRMonitor> monitor = MSRMeasurement::monitor())
        monitor->logWithLevel(level, code, message, contexts);
}

bool isDebugMode() {
    std::shared_ptr<MSRMonitor> monitor = MSRMeasurement::monitor();
    return monitor && monitor->isDebugModeEnabled();
}

std::string parametersText(const MSREvent& event) {
    std::string text;
    for (const auto& [name, value] : event.parameters()) {
        text += (text.empty() ? "" : ", ") + name + "=" + value.description();
    }
    return "{" + text + "}";
}

const MSRValue* parameter(const MSREvent& event, const char* name) {
    auto found = event.parameters().find(name);
    return found == event.parameters().end() ? nullptr : &found->second;
}

std::optional<int64_t> integerColumn(const MSRSqliteRow& row, const char* column) {
    const MSRSqliteValue* value = MSRSqliteColumn(row, column);
    if (!value) return std::nullopt;
    if (const auto* integer = std::get_if<int64_t>(value)) return *integer;
    if (const auto* real = std::get_if<double>(value)) return static_cast<int64_t>(*real);
    return std::nullopt;
}

// Deletes a bundled (or rejected) run and, when no raw event uses it any
// more, its metadata record.
bool MSRDeleteBundledRawEvents(MSRDatabase& database, int64_t maxRowID, int64_t fingerprint) {
    MSRError error;
    if (!database.deleteRawEventsWithMaxRowID(maxRowID, &error)) {
        report(1, 23119, "Unable to delete raw events. RowID, error", {maxRowID, error});
        return false;
    }
    std::optional<bool> used = database.containsRawEventWithMetadataFingerprint(fingerprint, &error);
    if (!used) {
        report(1, 23120, "Unable to query existence of raw event. Metadata, error", {fingerprint, error});
        return false;
    }
    if (!*used && !database.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error)) {
        report(1, 23121, "Unable to delete raw event metadata. Metadata, error", {fingerprint, error});
        return false;
    }
    return true;
}

// Exempt from the daily real-time cap: purchases, first opens, consent
// updates and first opens after consent, and everything in debug mode.
bool isSubjectToRealtimeCap(const MSREvent& event) {
    static const char* const exempt[] = {"_iap", "_f", "_dcu", "_fx"};
    if (isDebugMode()) return false;
    return std::none_of(std::begin(exempt), std::end(exempt),
                        [&](const char* name) { return event.name() == name; });
}

bool isDCURealtimeEvent(const MSREvent& event) {
    return !isDebugMode() && event.name() == "_dcu";
}

int32_t currentDay(MSRPersistedConfig* persistedConfig) {
    return MSRDailyCounts::dayForTime(dispatch::Clock::now(),
                                      persistedConfig ? persistedConfig->midnightOffset() : 0);
}

}  // namespace

const std::map<std::string, std::string>& MSRMeasurement::bundledEventRenameMap() {
    static const std::map<std::string, std::string> map = {{"ad_impression", "_ai"}};
    return map;
}

void MSRMeasurement::applyAfterBundleCommit(std::function<void()> write) {
    if (pendingBundleCommitWrites_) {
        pendingBundleCommitWrites_->push_back(std::move(write));
    } else {
        write();
    }
}

bool MSRMeasurement::bundleRawEvents() {
    if (!hasComponentsOnWorkerQueue() || !persistedConfig_) return false;
    bool bundled = false;
    // Collects the persisted writes of this transaction; a block that throws
    // must not leave later writes waiting for a commit that never comes.
    struct PendingWrites {
        std::optional<std::vector<std::function<void()>>>& slot;
        explicit PendingWrites(std::optional<std::vector<std::function<void()>>>& s) : slot(s) {
            slot.emplace();
        }
        ~PendingWrites() { slot.reset(); }
    } pending(pendingBundleCommitWrites_);
    const bool committed = database_->performTransaction([&]() -> bool {
        MSRError error;
        std::optional<int64_t> fingerprint = database_->nextMetadataFingerprintToProcess(&error);
        if (!fingerprint) {
            if (error.code() == 0) return true;  // no raw events: nothing to do
            report(1, 23095, "Unable to fetch next event metadata. Error", {error});
            return false;
        }
        std::optional<std::vector<MSRRawEventData>> raw = rawEventsWithMetadataFingerprint(*fingerprint);
        if (!raw) return false;
        if (raw->empty()) return true;

        std::optional<MSRPBMeasurementBundle> found =
            database_->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
        if (!found) {
            report(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
                   {*fingerprint, error});
            return false;
        }
        MSRPBMeasurementBundle& bundle = *found;

        std::optional<std::vector<MSREvent>> processed = processRawEvents(*raw, *fingerprint);
        if (!processed) return false;
        if (processed->empty()) {
            bundled = true;
            return true;
        }

        const bool denied = MSRConsentSettingsUtil::isAnalyticsStorageDenied();
        evaluationTimeFromRawEvents(*raw, bundle);
        handleAnalyticsStorageConsentTransitions(bundle);

        MSRAudienceTimestampsCache cache;
        std::optional<std::vector<MSREvent>> events =
            eventsAfterUpdatingEventAggregates(*processed, &cache, !denied);
        if (!events) return false;

        std::vector<MSRPBEvent> protos;
        protos.reserve(events->size());
        for (const MSREvent& event : *events) protos.push_back(event.protoEvent());
        if (remoteConfig_->isEventSamplingEnabled() && !isDebugMode()) {
            MSRError samplingError;
            std::optional<std::vector<MSRPBEvent>> sampled = MSRSampleEvents(protos, &samplingError);
            if (!sampled && samplingError.code() != 0) return false;
            if (sampled) protos = std::move(*sampled);
        }

        const int64_t lastRowID = raw->back().rowID();
        if (protos.empty()) {
            report(5, 23159, "No events left after sampling. Dropping bundle");
            if (!MSRDeleteBundledRawEvents(*database_, lastRowID, *fingerprint)) return false;
            bundled = true;
            return true;
        }
        MSRPBSetMessageArray(bundle, Slot::kEvents, std::move(protos));

        // The bundle spans every event of the run, also those filtered or
        // sampled away.
        double start = std::numeric_limits<double>::max();
        double end = std::numeric_limits<double>::lowest();
        for (const MSRRawEventData& data : *raw) {
            start = std::min(start, data.rawEvent().timestamp());
            end = std::max(end, data.rawEvent().timestamp());
        }
        if (!updateAppMetadataForBundle(bundle, start, end)) return false;

        if (remoteConfig_->DMAConsentEnabled() && shouldUpdateNPAUserProperty()) {
            setPersonalizedAdsUserPropertyOnWorkerQueue();
            applyAfterBundleCommit([this] { setShouldUpdateNPAUserProperty(false); });
        }

        if (!denied) {
            for (const MSRPBUserAttribute& attribute :
                 MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, Slot::kUserAttributes)) {
                if (!audience_->evaluateFiltersForNanoUserProperty(attribute, &cache, start)) return false;
            }
            MSRError audienceError;
            std::optional<std::vector<MSRPBAudienceLeafFilterResult>> results =
                audience_->resultsForBundling(&audienceError);
            if (!results) {
                report(1, 23113, "Unable to read audience evaluation results", {audienceError});
                return false;
            }
            if (!results->empty()) MSRPBSetMessageArray(bundle, Slot::kAudienceResults, *results);
        }

        addBundleMetadataIntoBundle(bundle, start, end);
        if (!remoteConfig_->sessionStitchingTokenFeatureEnabled() || denied)
            MSRPBClearField(bundle, Slot::kSessionStitchingToken);

        const bool realtime = std::any_of(events->begin(), events->end(),
                                          [](const MSREvent& event) { return event.isRealtime(); });
        MSRError insertError;
        if (!database_->insertBundle(bundle, realtime, &insertError)) {
            // Never delete a run whose bundle was not stored.
            report(1, 23115, "Unable to insert bundle. Error", {insertError});
            return false;
        }
        report(8, 23221, MSRConsentSettingsUtil::description());
        report(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
               {MSRPBGetInt32(bundle, Slot::kBundleIndex), MSRPBGetInt64(bundle, Slot::kEndTimestamp)});
        if (!MSRDeleteBundledRawEvents(*database_, lastRowID, *fingerprint)) return false;
        bundled = true;
        return true;
    });
    std::vector<std::function<void()>> writes = std::move(*pendingBundleCommitWrites_);
    pendingBundleCommitWrites_.reset();
    if (!committed) return false;
    for (const auto& write : writes) write();
    if (bundled) setSuspendedUploadTimestamp(0);
    return bundled;
}

std::optional<std::vector<MSRRawEventData>> MSRMeasurement::rawEventsWithMetadataFingerprint(
    int64_t metadataFingerprint) {
    if (!hasComponentsOnWorkerQueue()) return std::nullopt;
    const int64_t maxEvents = remoteConfig_->uploadMaxEventsPerBundle();
    const int64_t maxSize = remoteConfig_->uploadMaxSizeLimitBytes();
    int64_t firstHour = 0;
    int64_t lastRowID = -1;
    int64_t runningSize = 0;
    MSRError error;
    // The database hands over only rows it could decode, so the filter reads
    // the columns it needs instead of decoding each row a second time.
    auto raw = database_->rawEventsWithMetadataFingerprint(
        metadataFingerprint, &error, [&](size_t index, const MSRSqliteRow& row) {
            const int64_t i = static_cast<int64_t>(index);
            if (i > 0 && i >= maxEvents) return false;
            const std::optional<int64_t> rowID = integerColumn(row, "rowid");
            const MSRSqliteValue* time = MSRSqliteColumn(row, "timestamp");
            const MSRSqliteValue* data = MSRSqliteColumn(row, "data");
            const auto* blob = data ? std::get_if<MSRSqliteBlob>(data) : nullptr;
            if (!rowID || !time || !blob) {
                report(
                    4, 23096, "Failed to filter raw event. Error",
                    {MSRError::msr_errorWithCode(kMSRSqliteErrorBadArgument, "Raw event row is incomplete")});
                return false;
            }
            const double seconds = std::holds_alternative<double>(*time)
                                       ? std::get<double>(*time)
                                       : static_cast<double>(*integerColumn(row, "timestamp"));
            const int64_t hour = static_cast<int64_t>(seconds) / 3600;
            if (i == 0) {
                firstHour = hour;
            } else if (hour != firstHour || *rowID != lastRowID + 1) {
                return false;
            }
            const int64_t size = static_cast<int64_t>(blob->size());
            // The first row is always taken: an event that alone reaches the
            // size limit would otherwise never be bundled and would hold back
            // every event behind it.
            if (i > 0 && runningSize + size >= maxSize) return false;
            runningSize += size;
            lastRowID = *rowID;
            return true;
        });
    if (!raw || (raw->empty() && error.code() != 0)) {
        report(1, 23097, "Inconsistent state, raw event is expected. Error", {error});
        return std::nullopt;
    }
    return raw;
}

std::optional<std::vector<MSREvent>> MSRMeasurement::processRawEvents(
    const std::vector<MSRRawEventData>& rawEvents, int64_t metadataFingerprint) {
    if (!hasComponentsOnWorkerQueue()) return std::nullopt;
    if (rawEvents.empty()) return std::vector<MSREvent>{};
    const int64_t lastRowID = rawEvents.back().rowID();
    MSRRemoteConfig& config = *remoteConfig_;
    const auto& renames = bundledEventRenameMap();

    std::vector<const MSRRawEventData*> kept;
    for (const MSRRawEventData& data : rawEvents) {
        const MSREvent& event = data.rawEvent();
        auto rename = renames.find(event.name());
        if (rename != renames.end() && config.blocklistInternal() && !config.blocklistPublic()) {
            kept.push_back(&data);
            continue;
        }
        if (config.isEventBlocklisted(event.name()) ||
            (rename != renames.end() && config.isEventBlocklisted(rename->second))) {
            report(4, 23099, "Rejected event. Event name", {event.name()});
            continue;
        }
        const MSRValue* firstRun = parameter(event, "_fr");
        if (config.redundantEngagementRemovalEnabled() && event.name() == "_e" && firstRun &&
            firstRun->isInt64() && firstRun->int64Value() == 1)
            continue;
        kept.push_back(&data);
    }
    if (kept.empty()) {
        if (!MSRDeleteBundledRawEvents(*database_, lastRowID, metadataFingerprint)) return std::nullopt;
        report(4, 23100, "Rejected all events.");
        return std::vector<MSREvent>{};
    }

    MSRError error;
    std::optional<MSRDailyCounts> counts = database_->dailyCounts(&error);
    if (!counts) {
        report(1, 23101, "Failed to query daily event counts. Error", {error});
        return std::nullopt;
    }
    const int32_t day = currentDay(persistedConfig_.get());
    if (counts->day() != day) counts->resetWithNewDay(day);

    bool countsChanged = false;
    std::vector<MSREvent> events;
    events.reserve(kept.size());
    for (const MSRRawEventData* data : kept) {
        MSREvent event = renames.count(data->rawEvent().name())
                             ? internalEventFromPublicEvent(*data).rawEvent()
                             : data->rawEvent();
        const bool conversion = checkConversion(event, *counts);
        const bool realtime = checkRealtime(event, *counts);
        countsChanged = countsChanged || conversion || realtime;
        events.push_back(std::move(event));
    }
    if (countsChanged && !database_->updateDailyCounts(*counts, &error) && error.code() != 0) {
        report(2, 23106, "Failed to update daily event counts. Name, error", {events.back().name(), error});
        return std::nullopt;
    }
    return events;
}

MSRRawEventData MSRMeasurement::internalEventFromPublicEvent(const MSRRawEventData& rawEvent) {
    const MSREvent& event = rawEvent.rawEvent();
    auto rename = bundledEventRenameMap().find(event.name());
    if (rename == bundledEventRenameMap().end()) return rawEvent;
    MSRObjectDictionary parameters;
    for (const auto& [name, value] : event.parameters()) parameters.emplace(name, value);
    std::optional<MSREvent> internal = MSREvent::initWithOrigin(
        event.origin(), false, rename->second, event.timestamp(), event.previousTimestamp(), parameters);
    if (!internal) return rawEvent;
    std::optional<MSRRawEventData> data =
        MSRRawEventData::initWithRawEvent(internal, rawEvent.rowID(), rawEvent.metadataFingerprint());
    return data ? *data : rawEvent;
}

bool MSRMeasurement::checkConversion(MSREvent& event, MSRDailyCounts& dailyCounts) {
    if (!hasComponentsOnWorkerQueue()) return false;
    if (remoteConfig_->isEventCustomConversion(event.name())) event.setConversion(true);
    if (!event.isConversion() || !MSRIsPublicName(event.name())) return false;
    const int32_t limit = remoteConfig_->maxConversionsPerDay();
    if (dailyCounts.conversionsCount() >= limit) {
        event.setConversion(false);
        report(3, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
               {event.name(), limit});
        return false;
    }
    dailyCounts.incrementCountsForCurrentDay(currentDay(persistedConfig_.get()), false, true);
    dailyCounts.decrementAllEventsCount();
    return true;
}

bool MSRMeasurement::checkRealtime(MSREvent& event, MSRDailyCounts& dailyCounts) {
    if (!hasComponentsOnWorkerQueue()) return false;
    if (!event.isRealtime() && !event.isConversion()) return false;
    const int32_t day = currentDay(persistedConfig_.get());
    if (isSubjectToRealtimeCap(event)) {
        if (dailyCounts.realtimeCount() < remoteConfig_->maxRealtimeEventCountPerDay()) {
            dailyCounts.incrementRealtimeCountsForCurrentDay(day);
            event.setRealtime(true);
            report(7, 23103,
                   "Event is under real-time event count daily limit. Marking the event as real-time. Event "
                   "name, "
                   "parameters",
                   {event.name(), parametersText(event)});
            return true;
        }
        event.setRealtime(false);
        report(4, 23104,
               "Number of real-time events is over the real-time event count daily limit. Event is no longer "
               "real-time. Event name, parameters",
               {event.name(), parametersText(event)});
        return false;
    }
    if (isDCURealtimeEvent(event)) {
        if (dailyCounts.dcuRealtimeCount() < remoteConfig_->maxRealtimeDCUEventCountPerDay()) {
            dailyCounts.incrementDCURealtimeCountsForCurrentDay(day);
            event.setRealtime(true);
            return true;
        }
        event.setRealtime(false);
        return false;
    }
    event.setRealtime(true);
    report(7, 23105,
           "Event is not subject to real-time event count daily limit. Marking an event as real-time. Event "
           "name, "
           "parameters",
           {event.name(), parametersText(event)});
    return false;
}

void MSRMeasurement::evaluationTimeFromRawEvents(const std::vector<MSRRawEventData>& rawEvents,
                                                 MSRPBMeasurementBundle& bundle) {
    if (!hasComponentsOnWorkerQueue()) return;
    const bool sessionStart =
        std::any_of(rawEvents.begin(), rawEvents.end(),
                    [](const MSRRawEventData& data) { return data.rawEvent().name() == "_s"; });
    if (sessionStart) {
        audience_->clearEvaluationResultsForSessionScopedFilters();
        for (const MSRPBUserAttribute& attribute :
             MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, Slot::kUserAttributes)) {
            if (!audience_->evaluateFiltersForNanoUserProperty(attribute, nullptr, std::nullopt)) return;
        }
        MSRError error;
        if (!database_->clearCurrentSessionCounts(&error)) {
            report(1, 23185, "Failed to clear event session counts. Error", {error});
            return;
        }
    }
    int64_t engagement = 0;
    for (const MSRRawEventData& data : rawEvents) {
        const MSRValue* time = parameter(data.rawEvent(), "_et");
        if (time && time->isInt64() && !parameter(data.rawEvent(), "_fr")) engagement += time->int64Value();
    }
    if (!updateUserEngagement(engagement, bundle, false)) return;
    if (sessionStart) {
        MSRError error;
        if (!database_->deleteUserAttributeWithName("_se", &error)) {
            report(1, 23188, "Unable to delete session engagement property on session start. Error", {error});
            return;
        }
    }
    updateUserEngagement(engagement, bundle, true);
}

std::optional<std::vector<MSREvent>> MSRMeasurement::eventsAfterUpdatingEventAggregates(
    const std::vector<MSREvent>& events, MSRAudienceTimestampsCache* cache, bool allowEventFilterEvaluation) {
    if (!hasComponentsOnWorkerQueue()) return std::nullopt;
    // Each name's row is read once and written once per bundle; in between
    // the events of the run see the counts of the events before them, as if
    // every event had read and written the row itself.
    std::map<std::string, MSREventAggregates> byName;
    std::vector<std::string> order;
    std::vector<MSREvent> result;
    result.reserve(events.size());
    for (const MSREvent& original : events) {
        auto found = byName.find(original.name());
        const bool seen = found != byName.end();
        std::optional<MSREventAggregates> stored;
        if (!seen) {
            MSRError error;
            stored = database_->eventAggregatesWithName(original.name(), &error);
            if (!stored && error.code() != 0) {
                report(1, 23107, "Failed to query event aggregates. Name, error", {original.name(), error});
                return std::nullopt;
            }
        }
        MSREventAggregates* aggregates = seen ? &found->second : (stored ? &*stored : nullptr);
        std::optional<MSREvent> copy;
        if (aggregates) {
            copy = original.copyWithPreviousTimestamp(aggregates->lastFireTimestamp());
            // The real-time flag is the bundle's to keep.
            if (copy) copy->setRealtime(original.isRealtime());
            aggregates->incrementCurrentBundleCount();
            aggregates->incrementLifetimeCount();
            aggregates->incrementCurrentSessionCount();
            aggregates->setLastFireTimestamp(original.timestamp());
        } else {
            stored = MSREventAggregates::initWithName(original.name(), 1, 1, 1, original.timestamp());
            if (!stored) return std::nullopt;
        }
        if (!seen) {
            found = byName.emplace(original.name(), std::move(*stored)).first;
            order.push_back(original.name());
        }
        if (copy) {
            result.push_back(std::move(*copy));
        } else {
            result.push_back(original);
        }
        if (allowEventFilterEvaluation &&
            !audience_->evaluateFiltersForEvent(result.back(), found->second, cache))
            return std::nullopt;
    }
    for (const std::string& name : order) {
        MSRError error;
        if (!database_->updateEventAggregates(byName.at(name), &error)) {
            report(1, 23108, "Failed to update event aggregates. Error", {error});
            return std::nullopt;
        }
    }
    return result;
}

bool MSRMeasurement::updateAppMetadataForBundle(MSRPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                double bundleEndTimestamp) {
    if (!hasComponentsOnWorkerQueue()) return false;
    MSRError error;
    std::optional<MSRAppMetadata> metadata = database_->queryAppMetadata(&error);
    if (!metadata) {
        report(1, 23111, "Unable to fetch app metadata for bundling events. Error", {error});
        return false;
    }
    if (metadata->lastBundleEndTimestamp() > 0) {
        MSRPBSetInt64(bundle, Slot::kPreviousBundleEndTimestamp,
                      MSRMillisecondsFromSeconds(metadata->lastBundleEndTimestamp()));
    }
    if (metadata->lastBundleStartTimestamp() > 0) {
        MSRPBSetInt64(bundle, Slot::kPreviousBundleStartTimestamp,
                      MSRMillisecondsFromSeconds(metadata->lastBundleStartTimestamp()));
    } else if (metadata->lastBundleEndTimestamp() > 0) {
        MSRPBSetInt64(bundle, Slot::kPreviousBundleStartTimestamp,
                      MSRMillisecondsFromSeconds(metadata->lastBundleEndTimestamp()));
    }
    const int32_t index = metadata->lastBundleIndex() == std::numeric_limits<int32_t>::max()
                              ? 0
                              : metadata->lastBundleIndex() + 1;
    std::optional<MSRAppMetadata> updated =
        MSRAppMetadata::initWithLastBundleIndex(index, bundleStartTimestamp, bundleEndTimestamp);
    MSRPBSetInt32(bundle, Slot::kBundleIndex, index);
    if (!database_->updateAppMetadata(updated, &error)) {
        report(1, 23112, "Unable to update the app metadata. Error", {error});
        return false;
    }
    return true;
}

bool MSRMeasurement::updateUserEngagement(int64_t engagementMillis, MSRPBMeasurementBundle& bundle,
                                          bool sessionScoped) {
    if (!hasComponentsOnWorkerQueue()) return false;
    if (engagementMillis < 0) {
        report(2, 23186, "User engagement time is negative.");
        return false;
    }
    if (engagementMillis == 0) return true;
    const std::string name = sessionScoped ? "_se" : "_lte";
    MSRError error;
    std::optional<MSRUserAttribute> stored = database_->userAttributeWithName(name, &error);
    if (!stored && error.code() != 0) {
        report(1, 23187, "Failed to query for user engagement user property. Name, error", {name, error});
        return false;
    }
    const int64_t total =
        (stored && stored->value().isInt64() ? stored->value().int64Value() : 0) + engagementMillis;
    const double now = dispatch::Clock::now();
    std::optional<MSRUserAttribute> attribute =
        MSRUserAttribute::initWithOrigin("auto", name, MSRValue(total), now);
    if (!attribute || !setUserPropertyInDatabaseOnWorkerQueue(*attribute)) return false;

    std::vector<MSRPBUserAttribute> attributes =
        MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, Slot::kUserAttributes);
    auto existing = std::find_if(attributes.begin(), attributes.end(), [&](const MSRPBUserAttribute& a) {
        return MSRPBGetString(a, MSRUserAttributeSlot::kName) == name;
    });
    if (existing != attributes.end()) {
        MSRPBSetInt64(*existing, MSRUserAttributeSlot::kIntValue, total);
        MSRPBSetInt64(*existing, MSRUserAttributeSlot::kSetTimestamp, MSRMillisecondsFromSeconds(now));
    } else {
        attributes.push_back(attribute->protoUserAttribute());
    }
    MSRPBSetMessageArray(bundle, Slot::kUserAttributes, attributes);
    return true;
}

void MSRMeasurement::addBundleMetadataIntoBundle(MSRPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                 double bundleEndTimestamp) {
    if (!hasComponentsOnWorkerQueue() || !persistedConfig_) return;
    std::vector<int64_t> experiments = remoteConfig_->experimentIDs();
    if (!experiments.empty())
        MSRPBSetArray(bundle, Slot::kExperimentIDs,
                      std::vector<MSRPBValue>(experiments.begin(), experiments.end()));

    if (std::shared_ptr<MSRMonitor> monitor = MSRMeasurement::monitor()) {
        std::optional<std::string> sample = monitor->monitoringDataForDispatchWithSamplePeriod(
            remoteConfig_->monitoringSamplePeriod(), persistedConfig_->lastMonitorDataSampledTimestamp());
        if (sample && !sample->empty()) {
            MSRPBSetString(bundle, Slot::kMonitoringSample, *sample);
            const double now = dispatch::Clock::now();
            applyAfterBundleCommit(
                [config = persistedConfig_, now] { config->setLastMonitorDataSampledTimestamp(now); });
        }
    }
    const int64_t version = remoteConfig_->version();
    if (version >= 0) MSRPBSetInt64(bundle, Slot::kConfigVersion, version);
    if (!MSRPBGetString(bundle, Slot::kAppID).value_or("").size()) {
        std::string appID = identity_->appID();
        if (appID.empty()) appID = foundation::Bundle::main().bundleIdentifier().value_or("");
        MSRPBSetString(bundle, Slot::kAppID, appID);
    }
    MSRPBSetInt64(bundle, Slot::kStartTimestamp, MSRMillisecondsFromSeconds(bundleStartTimestamp));
    MSRPBSetInt64(bundle, Slot::kEndTimestamp, MSRMillisecondsFromSeconds(bundleEndTimestamp));
}

void MSRMeasurement::handleAnalyticsStorageConsentTransitions(MSRPBMeasurementBundle& bundle) {
    if (!database_ || !persistedConfig_) return;
    const std::string previous = persistedConfig_->previousBundledConsentSignals().value_or("");
    const std::string current = MSRPBGetString(bundle, Slot::kConsentSignals).value_or("");
    if (previous == current) return;
    const bool wasDenied = MSRIsAnalyticsStorageDeniedInSignals(previous);
    const bool isDenied = MSRIsAnalyticsStorageDeniedInSignals(current);
    MSRError error;
    if (!wasDenied && isDenied) {
        if (!database_->createEventsSnapshotTable(&error) && error.code() != 0)
            report(4, 23266, "Unable to create table snapshot. Error", {error});
    } else if (wasDenied && !isDenied) {
        if (!database_->restoreFromEventsSnapshotTable(&error) && error.code() != 0)
            report(4, 23267, "Unable to restore from table snapshot. Error", {error});
    }
    // Recorded even after a failed snapshot, so that the same transition is
    // not tried again; but only once the bundle's transaction has committed,
    // since a rollback also takes the snapshot back.
    applyAfterBundleCommit(
        [config = persistedConfig_, current] { config->setPreviousBundledConsentSignals(current); });
}
