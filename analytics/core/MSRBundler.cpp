// Turning stored raw events into upload bundles: one run of raw events of one
// metadata record becomes one bundle, in one transaction with the counts,
// aggregates, audiences and bookkeeping it changes.

#include <algorithm>
#include <deque>
#include <limits>
#include <map>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRBundler.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/messages/MSRPBFlatEvent.h"
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

// Refuses rows once a run ends: the hour of the first row, consecutive row
// ids, and the count and size limits.
class RunFilter {
  public:
    RunFilter(int64_t maxEvents, int64_t maxSize) : maxEvents_(maxEvents), maxSize_(maxSize) {}

    // `seconds` nothing when the row's time could not be read.
    bool accepts(size_t index, std::optional<int64_t> rowID, std::optional<double> seconds,
                 std::optional<size_t> dataSize) {
        const int64_t i = static_cast<int64_t>(index);
        if (i > 0 && i >= maxEvents_) return false;
        if (!rowID || !seconds || !dataSize) {
            report(
                4, 23096, "Failed to filter raw event. Error",
                {MSRError::msr_errorWithCode(kMSRSqliteErrorBadArgument, "Raw event row is incomplete")});
            return false;
        }
        const int64_t hour = static_cast<int64_t>(*seconds) / 3600;
        if (i == 0) {
            firstHour_ = hour;
        } else if (hour != firstHour_ || *rowID != lastRowID_ + 1) {
            return false;
        }
        const int64_t size = static_cast<int64_t>(*dataSize);
        // The first row is always taken: an event that alone reaches the
        // size limit would otherwise never be bundled and would hold back
        // every event behind it.
        if (i > 0 && runningSize_ + size >= maxSize_) return false;
        runningSize_ += size;
        lastRowID_ = *rowID;
        return true;
    }

  private:
    int64_t maxEvents_;
    int64_t maxSize_;
    int64_t firstHour_ = 0;
    int64_t lastRowID_ = -1;
    int64_t runningSize_ = 0;
};

const MSRPBFlatEventParam* flatParameter(const MSRRawEventRow& row, std::string_view name) {
    for (const MSRPBFlatEventParam& param : row.flat.params) {
        if (param.name == name) return &param;
    }
    return nullptr;
}

}  // namespace

struct MSRBundleRawEntry {
    const MSRRawEventData* data = nullptr;  // an event object
    const MSRRawEventRow* row = nullptr;    // else a row taken as stored

    const std::string& name() const { return data ? data->rawEvent().name() : row->name; }
    double timestamp() const { return data ? data->rawEvent().timestamp() : row->timestamp; }
    int64_t rowID() const { return data ? data->rowID() : row->rowID; }
    bool hasParameter(std::string_view name) const {
        return data ? parameter(data->rawEvent(), std::string(name).c_str()) != nullptr
                    : flatParameter(*row, name) != nullptr;
    }
    // The parameter's value when it is an integer.
    std::optional<int64_t> integerParameter(const char* name) const {
        if (data) {
            const MSRValue* value = parameter(data->rawEvent(), name);
            if (value && value->isInt64()) return value->int64Value();
            return std::nullopt;
        }
        const MSRPBFlatEventParam* param = flatParameter(*row, name);
        if (param && param->kind == MSRPBFlatEventParam::Kind::kInteger) return param->integer;
        return std::nullopt;
    }
};

struct MSRBundleEvent {
    std::optional<MSREvent> event;       // an event object
    const MSRRawEventRow* row = nullptr;  // else a row taken as stored, with
    double previousTimestamp = 0;         // its previous time (seconds)

    const std::string& name() const { return event ? event->name() : row->name; }
    double timestamp() const { return event ? event->timestamp() : row->timestamp; }
    bool isRealtime() const { return event && event->isRealtime(); }
    // Appends the event's encoding, as its protoEvent gives it.
    void appendEncoding(std::vector<uint8_t>& out) const {
        if (event) {
            std::optional<std::vector<uint8_t>> bytes = event->protoEvent().protoBuffer();
            if (bytes) out.insert(out.end(), bytes->begin(), bytes->end());
            return;
        }
        std::optional<int64_t> previous;
        if (previousTimestamp > std::numeric_limits<double>::epsilon())
            previous = MSRMillisecondsFromSeconds(previousTimestamp);
        MSRPBAppendFlatEventEncoding(row->flat, row->name, MSRMillisecondsFromSeconds(row->timestamp),
                                     previous, out);
    }
};

namespace {

// Which rows of a run go into the bundle exactly as stored (only their name
// and times added), so that no event object is needed: those whose events
// nothing of bundling changes. Settings and the answers per name are read
// once per run.
class StoredBytesRule {
  public:
    explicit StoredBytesRule(MSRRemoteConfig& config)
        : config_(config), limits_(MSRCurrentStoredParameterLimits()) {}

    bool takes(const MSRRawEventRow& row) {
        if (row.decoded || !takesName(row.name)) return false;
        // The bundle lists parameters in name order, each name once.
        std::string_view previous;
        for (const MSRPBFlatEventParam& param : row.flat.params) {
            if (param.name.empty() || (&param != &row.flat.params.front() && !(previous < param.name)))
                return false;
            // Conversion and real-time marks are counted against the daily
            // caps.
            if (param.name == "_c" || param.name == "_r") return false;
            previous = param.name;
        }
        return !MSRFlatParametersNeedCleaning(row.flat.params, row.name, limits_);
    }

  private:
    // Renamed events, custom conversions and events whose conversion value
    // is checked change on their way into the bundle.
    bool takesName(const std::string& name) {
        auto known = byName_.find(name);
        if (known != byName_.end()) return known->second;
        const bool takes = name != "_ai" && !MSRMeasurement::bundledEventRenameMap().count(name) &&
                           !config_.isEventCustomConversion(name);
        byName_.emplace(name, takes);
        return takes;
    }

    MSRRemoteConfig& config_;
    MSRStoredParameterLimits limits_;
    std::map<std::string, bool, std::less<>> byName_;
};

std::vector<MSRBundleRawEntry> entriesOf(const std::vector<MSRRawEventData>& rawEvents) {
    std::vector<MSRBundleRawEntry> entries;
    entries.reserve(rawEvents.size());
    for (const MSRRawEventData& data : rawEvents) entries.push_back({&data, nullptr});
    return entries;
}

std::vector<MSREvent> eventObjectsOf(std::vector<MSRBundleEvent>&& events) {
    std::vector<MSREvent> objects;
    objects.reserve(events.size());
    for (MSRBundleEvent& event : events) objects.push_back(std::move(*event.event));
    return objects;
}

// The events go into the bundle as their encodings, without message trees.
void setBundleEvents(MSRPBMeasurementBundle& bundle, const std::vector<MSRBundleEvent>& events) {
    std::vector<uint8_t> encoding;
    std::string elements;
    // Room for the stored bytes and, per event, its times and length.
    size_t expected = 0;
    for (const MSRBundleEvent& event : events) expected += (event.row ? event.row->data.size() : 0) + 32;
    elements.reserve(expected);
    for (const MSRBundleEvent& event : events) {
        encoding.clear();
        event.appendEncoding(encoding);
        MSRPBAppendEncodedElement(elements, encoding);
    }
    MSRPBSetEncodedMessageArray(bundle, Slot::kEvents, std::move(elements));
}

}  // namespace

const std::map<std::string, std::string>& MSRMeasurement::bundledEventRenameMap() {
    static const std::map<std::string, std::string> map = {{"ad_impression", "_ai"}};
    return map;
}

void MSRBundler::applyAfterBundleCommit(std::function<void()> write) {
    if (engine_.pendingBundleCommitWrites_) {
        engine_.pendingBundleCommitWrites_->push_back(std::move(write));
    } else {
        write();
    }
}

bool MSRBundler::bundleRawEvents() {
    if (!engine_.hasComponentsOnWorkerQueue() || !engine_.persistedConfig_) return false;
    bool bundled = false;
    // Collects the persisted writes of this transaction; a block that throws
    // must not leave later writes waiting for a commit that never comes.
    struct PendingWrites {
        std::optional<std::vector<std::function<void()>>>& slot;
        explicit PendingWrites(std::optional<std::vector<std::function<void()>>>& s) : slot(s) {
            slot.emplace();
        }
        ~PendingWrites() { slot.reset(); }
    } pending(engine_.pendingBundleCommitWrites_);
    const bool committed = engine_.database_->performTransaction([&]() -> bool {
        MSRError error;
        std::optional<int64_t> fingerprint = engine_.database_->nextMetadataFingerprintToProcess(&error);
        if (!fingerprint) {
            if (error.code() == 0) return true;  // no raw events: nothing to do
            report(1, 23095, "Unable to fetch next event metadata. Error", {error});
            return false;
        }
        // Sampling works on event messages: it sends the whole bundle the
        // way of objects. Event filters only read events, so the rows they
        // see still go into the bundle as stored (see updateEventAggregates).
        const bool sampling = engine_.remoteConfig_->isEventSamplingEnabled() && !isDebugMode();
        const bool fromStoredBytes = engine_.bundlesFromStoredBytes_ && !sampling;

        // The run: rows taken as stored, or event objects, whose entries
        // point into these lists.
        std::vector<MSRRawEventRow> rows;
        std::deque<MSRRawEventData> objects;
        std::vector<MSRBundleRawEntry> raw;
        if (fromStoredBytes) {
            std::optional<std::vector<MSRRawEventRow>> read = rawEventRowsWithMetadataFingerprint(*fingerprint);
            if (!read) return false;
            rows = std::move(*read);
            raw.reserve(rows.size());
            StoredBytesRule rule(*engine_.remoteConfig_);
            for (const MSRRawEventRow& row : rows) {
                if (row.decoded) {
                    raw.push_back({&*row.decoded, nullptr});
                } else if (rule.takes(row)) {
                    raw.push_back({nullptr, &row});
                } else {
                    std::optional<MSRRawEventData> data = engine_.database_->rawEventDataFromRow(row, *fingerprint, &error);
                    if (!data) {
                        report(1, 23097, "Inconsistent state, raw event is expected. Error", {error});
                        return false;
                    }
                    objects.push_back(std::move(*data));
                    raw.push_back({&objects.back(), nullptr});
                }
            }
        } else {
            std::optional<std::vector<MSRRawEventData>> read = rawEventsWithMetadataFingerprint(*fingerprint);
            if (!read) return false;
            for (MSRRawEventData& data : *read) objects.push_back(std::move(data));
            for (const MSRRawEventData& data : objects) raw.push_back({&data, nullptr});
        }
        if (raw.empty()) {
            // The read deleted what it could not use; when that was all of
            // this metadata's events, the next run takes the next metadata's,
            // in this pass.
            bundled =
                engine_.database_->containsRawEventWithMetadataFingerprint(*fingerprint, &error) == false;
            return true;
        }

        std::optional<MSRPBMeasurementBundle> found =
            engine_.database_->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
        if (!found) {
            report(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
                   {*fingerprint, error});
            return false;
        }
        MSRPBMeasurementBundle& bundle = *found;

        std::optional<std::vector<MSRBundleEvent>> events = processRawEntries(raw, *fingerprint);
        if (!events) return false;
        if (events->empty()) {
            bundled = true;
            return true;
        }

        const bool denied = MSRConsentSettingsUtil::isAnalyticsStorageDenied();
        evaluationTimeFromRawEntries(raw, bundle);
        handleAnalyticsStorageConsentTransitions(bundle);

        MSRAudienceTimestampsCache cache;
        if (!updateEventAggregates(*events, &cache, !denied, *fingerprint)) return false;

        const int64_t lastRowID = raw.back().rowID();
        if (fromStoredBytes) {
            setBundleEvents(bundle, *events);
        } else {
            std::vector<MSRPBEvent> protos;
            protos.reserve(events->size());
            for (const MSRBundleEvent& event : *events) protos.push_back(event.event->protoEvent());
            if (sampling && engine_.eventSampler_) {
                MSRError samplingError;
                std::optional<std::vector<MSRPBEvent>> sampled = engine_.eventSampler_->sampleEvents(protos, &samplingError);
                if (!sampled && samplingError.code() != 0) return false;
                if (sampled) protos = std::move(*sampled);
            }
            if (protos.empty()) {
                report(5, 23159, "No events left after sampling. Dropping bundle");
                if (!MSRDeleteBundledRawEvents(*engine_.database_, lastRowID, *fingerprint)) return false;
                bundled = true;
                return true;
            }
            MSRPBSetMessageArray(bundle, Slot::kEvents, std::move(protos));
        }

        // The bundle spans every event of the run, also those filtered or
        // sampled away.
        double start = std::numeric_limits<double>::max();
        double end = std::numeric_limits<double>::lowest();
        for (const MSRBundleRawEntry& entry : raw) {
            start = std::min(start, entry.timestamp());
            end = std::max(end, entry.timestamp());
        }
        if (!updateAppMetadataForBundle(bundle, start, end)) return false;

        if (engine_.remoteConfig_->DMAConsentEnabled() && engine_.shouldUpdateNPAUserProperty()) {
            engine_.setPersonalizedAdsUserPropertyOnWorkerQueue();
            applyAfterBundleCommit([this] { engine_.setShouldUpdateNPAUserProperty(false); });
        }

        if (!denied) {
            for (const MSRPBUserAttribute& attribute :
                 MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, Slot::kUserAttributes)) {
                if (!engine_.audience_->evaluateFiltersForNanoUserProperty(attribute, &cache, start)) return false;
            }
            MSRError audienceError;
            std::optional<std::vector<MSRPBAudienceLeafFilterResult>> results =
                engine_.audience_->resultsForBundling(&cache, &audienceError);
            if (!results) {
                report(1, 23113, "Unable to read audience evaluation results", {audienceError});
                return false;
            }
            if (!results->empty()) MSRPBSetMessageArray(bundle, Slot::kAudienceResults, *results);
        }

        addBundleMetadataIntoBundle(bundle, start, end);
        if (!engine_.remoteConfig_->sessionStitchingTokenFeatureEnabled() || denied)
            MSRPBClearField(bundle, Slot::kSessionStitchingToken);

        const bool realtime = std::any_of(events->begin(), events->end(),
                                          [](const MSRBundleEvent& event) { return event.isRealtime(); });
        MSRError insertError;
        if (!engine_.database_->insertBundle(bundle, realtime, &insertError)) {
            // Never delete a run whose bundle was not stored.
            report(1, 23115, "Unable to insert bundle. Error", {insertError});
            return false;
        }
        report(8, 23221, MSRConsentSettingsUtil::description());
        report(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
               {MSRPBGetInt32(bundle, Slot::kBundleIndex), MSRPBGetInt64(bundle, Slot::kEndTimestamp)});
        if (!MSRDeleteBundledRawEvents(*engine_.database_, lastRowID, *fingerprint)) return false;
        bundled = true;
        return true;
    });
    std::vector<std::function<void()>> writes = std::move(*engine_.pendingBundleCommitWrites_);
    engine_.pendingBundleCommitWrites_.reset();
    // Storing bundles waits after a failure (see bundleWriteBackoff_).
    if (!committed) {
        engine_.bundleWriteBackoff_.writeFailed(dispatch::Clock::now());
        return false;
    }
    engine_.bundleWriteBackoff_.writeSucceeded();
    for (const auto& write : writes) write();
    if (bundled) engine_.setSuspendedUploadTimestamp(0);
    return bundled;
}

std::optional<std::vector<MSRRawEventData>> MSRBundler::rawEventsWithMetadataFingerprint(
    int64_t metadataFingerprint) {
    if (!engine_.hasComponentsOnWorkerQueue()) return std::nullopt;
    RunFilter filter(engine_.remoteConfig_->uploadMaxEventsPerBundle(), engine_.remoteConfig_->uploadMaxSizeLimitBytes());
    MSRError error;
    // The database hands over only rows it could decode, so the filter reads
    // the columns it needs instead of decoding each row a second time.
    auto raw = engine_.database_->rawEventsWithMetadataFingerprint(
        metadataFingerprint, &error, [&](size_t index, const MSRSqliteRow& row) {
            const MSRSqliteValue* time = MSRSqliteColumn(row, "timestamp");
            std::optional<double> seconds;
            if (time && std::holds_alternative<double>(*time)) seconds = std::get<double>(*time);
            if (time && std::holds_alternative<int64_t>(*time))
                seconds = static_cast<double>(std::get<int64_t>(*time));
            const MSRSqliteValue* data = MSRSqliteColumn(row, "data");
            const auto* blob = data ? std::get_if<MSRSqliteBlob>(data) : nullptr;
            return filter.accepts(index, integerColumn(row, "rowid"), seconds,
                                  blob ? std::optional<size_t>(blob->size()) : std::nullopt);
        });
    if (!raw || (raw->empty() && error.code() != 0)) {
        report(1, 23097, "Inconsistent state, raw event is expected. Error", {error});
        return std::nullopt;
    }
    return raw;
}

std::optional<std::vector<MSRRawEventRow>> MSRBundler::rawEventRowsWithMetadataFingerprint(
    int64_t metadataFingerprint) {
    RunFilter filter(engine_.remoteConfig_->uploadMaxEventsPerBundle(), engine_.remoteConfig_->uploadMaxSizeLimitBytes());
    MSRError error;
    auto rows = engine_.database_->rawEventRowsWithMetadataFingerprint(
        metadataFingerprint, &error,
        [&](size_t index, int64_t rowID, std::optional<double> seconds, size_t dataSize) {
            return filter.accepts(index, rowID, seconds, dataSize);
        });
    if (!rows || (rows->empty() && error.code() != 0)) {
        report(1, 23097, "Inconsistent state, raw event is expected. Error", {error});
        return std::nullopt;
    }
    return rows;
}

std::optional<std::vector<MSREvent>> MSRBundler::processRawEvents(
    const std::vector<MSRRawEventData>& rawEvents, int64_t metadataFingerprint) {
    if (!engine_.hasComponentsOnWorkerQueue()) return std::nullopt;
    std::optional<std::vector<MSRBundleEvent>> events = processRawEntries(entriesOf(rawEvents), metadataFingerprint);
    if (!events) return std::nullopt;
    return eventObjectsOf(std::move(*events));
}

std::optional<std::vector<MSRBundleEvent>> MSRBundler::processRawEntries(
    const std::vector<MSRBundleRawEntry>& rawEvents, int64_t metadataFingerprint) {
    if (rawEvents.empty()) return std::vector<MSRBundleEvent>{};
    const int64_t lastRowID = rawEvents.back().rowID();
    MSRRemoteConfig& config = *engine_.remoteConfig_;
    const auto& renames = engine_.bundledEventRenameMap();

    // What the settings say of each name, asked once per name.
    enum class Verdict { kKeep, kReject, kKeepUnlessFirstRun };
    std::map<std::string_view, Verdict> verdicts;
    auto verdictOf = [&](const std::string& name) {
        auto rename = renames.find(name);
        if (rename != renames.end() && config.blocklistInternal() && !config.blocklistPublic()) return Verdict::kKeep;
        if (config.isEventBlocklisted(name) ||
            (rename != renames.end() && config.isEventBlocklisted(rename->second)))
            return Verdict::kReject;
        return config.redundantEngagementRemovalEnabled() && name == "_e" ? Verdict::kKeepUnlessFirstRun
                                                                          : Verdict::kKeep;
    };
    std::vector<const MSRBundleRawEntry*> kept;
    kept.reserve(rawEvents.size());
    for (const MSRBundleRawEntry& entry : rawEvents) {
        const std::string& name = entry.name();
        auto known = verdicts.find(name);
        if (known == verdicts.end()) known = verdicts.emplace(name, verdictOf(name)).first;
        if (known->second == Verdict::kReject) {
            report(4, 23099, "Rejected event. Event name", {name});
            continue;
        }
        if (known->second == Verdict::kKeepUnlessFirstRun && entry.integerParameter("_fr") == 1) continue;
        kept.push_back(&entry);
    }
    if (kept.empty()) {
        if (!MSRDeleteBundledRawEvents(*engine_.database_, lastRowID, metadataFingerprint)) return std::nullopt;
        report(4, 23100, "Rejected all events.");
        return std::vector<MSRBundleEvent>{};
    }

    MSRError error;
    std::optional<MSRDailyCounts> counts = engine_.database_->dailyCounts(&error);
    if (!counts) {
        report(1, 23101, "Failed to query daily event counts. Error", {error});
        return std::nullopt;
    }
    const int32_t day = currentDay(engine_.persistedConfig_.get());
    if (counts->day() != day) counts->resetWithNewDay(day);

    bool countsChanged = false;
    std::vector<MSRBundleEvent> events;
    events.reserve(kept.size());
    for (const MSRBundleRawEntry* entry : kept) {
        // A row taken as stored is neither renamed nor counted: it is one
        // only when that changes nothing.
        if (!entry->data) {
            events.push_back({std::nullopt, entry->row,
                              static_cast<double>(entry->row->flat.previousTimestampMillis) / 1000.0});
            continue;
        }
        MSREvent event = renames.count(entry->name()) ? internalEventFromPublicEvent(*entry->data).rawEvent()
                                                      : entry->data->rawEvent();
        const bool conversion = checkConversion(event, *counts);
        const bool realtime = checkRealtime(event, *counts);
        countsChanged = countsChanged || conversion || realtime;
        events.push_back({std::move(event), nullptr, 0});
    }
    if (countsChanged && !engine_.database_->updateDailyCounts(*counts, &error) && error.code() != 0) {
        report(2, 23106, "Failed to update daily event counts. Name, error", {events.back().name(), error});
        return std::nullopt;
    }
    return events;
}

MSRRawEventData MSRBundler::internalEventFromPublicEvent(const MSRRawEventData& rawEvent) {
    const MSREvent& event = rawEvent.rawEvent();
    auto rename = engine_.bundledEventRenameMap().find(event.name());
    if (rename == engine_.bundledEventRenameMap().end()) return rawEvent;
    MSRObjectDictionary parameters;
    for (const auto& [name, value] : event.parameters()) parameters.emplace(name, value);
    std::optional<MSREvent> internal = MSREvent::initWithOrigin(
        event.origin(), false, rename->second, event.timestamp(), event.previousTimestamp(), parameters);
    if (!internal) return rawEvent;
    std::optional<MSRRawEventData> data =
        MSRRawEventData::initWithRawEvent(internal, rawEvent.rowID(), rawEvent.metadataFingerprint());
    return data ? *data : rawEvent;
}

bool MSRBundler::checkConversion(MSREvent& event, MSRDailyCounts& dailyCounts) {
    if (!engine_.hasComponentsOnWorkerQueue()) return false;
    if (engine_.remoteConfig_->isEventCustomConversion(event.name())) event.setConversion(true);
    if (!event.isConversion() || !MSRIsPublicName(event.name())) return false;
    const int32_t limit = engine_.remoteConfig_->maxConversionsPerDay();
    if (dailyCounts.conversionsCount() >= limit) {
        event.setConversion(false);
        report(3, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
               {event.name(), limit});
        return false;
    }
    dailyCounts.incrementCountsForCurrentDay(currentDay(engine_.persistedConfig_.get()), false, true);
    dailyCounts.decrementAllEventsCount();
    return true;
}

bool MSRBundler::checkRealtime(MSREvent& event, MSRDailyCounts& dailyCounts) {
    if (!engine_.hasComponentsOnWorkerQueue()) return false;
    if (!event.isRealtime() && !event.isConversion()) return false;
    const int32_t day = currentDay(engine_.persistedConfig_.get());
    // Under its daily cap an event is counted and real-time; over it, it is not.
    auto underCap = [&](int64_t count, int64_t limit, auto&& countIt) {
        const bool under = count < limit;
        if (under) countIt();
        event.setRealtime(under);
        return under;
    };
    if (isSubjectToRealtimeCap(event)) {
        const bool under = underCap(dailyCounts.realtimeCount(), engine_.remoteConfig_->maxRealtimeEventCountPerDay(),
                                    [&] { dailyCounts.incrementRealtimeCountsForCurrentDay(day); });
        if (under) {
            report(7, 23103,
                   "Event is under real-time event count daily limit. Marking the event as real-time. Event "
                   "name, "
                   "parameters",
                   {event.name(), parametersText(event)});
        } else {
            report(4, 23104,
                   "Number of real-time events is over the real-time event count daily limit. Event is no longer "
                   "real-time. Event name, parameters",
                   {event.name(), parametersText(event)});
        }
        return under;
    }
    if (isDCURealtimeEvent(event)) {
        return underCap(dailyCounts.dcuRealtimeCount(), engine_.remoteConfig_->maxRealtimeDCUEventCountPerDay(),
                        [&] { dailyCounts.incrementDCURealtimeCountsForCurrentDay(day); });
    }
    event.setRealtime(true);
    report(7, 23105,
           "Event is not subject to real-time event count daily limit. Marking an event as real-time. Event "
           "name, "
           "parameters",
           {event.name(), parametersText(event)});
    return false;
}

void MSRBundler::evaluationTimeFromRawEvents(const std::vector<MSRRawEventData>& rawEvents,
                                                 MSRPBMeasurementBundle& bundle) {
    if (!engine_.hasComponentsOnWorkerQueue()) return;
    evaluationTimeFromRawEntries(entriesOf(rawEvents), bundle);
}

void MSRBundler::evaluationTimeFromRawEntries(const std::vector<MSRBundleRawEntry>& rawEvents,
                                                  MSRPBMeasurementBundle& bundle) {
    const bool sessionStart = std::any_of(rawEvents.begin(), rawEvents.end(),
                                          [](const MSRBundleRawEntry& entry) { return entry.name() == "_s"; });
    // The engagement totals below do not depend on the session bookkeeping:
    // a failure there is logged and the bundle still counts its engagement.
    if (sessionStart) {
        engine_.audience_->clearEvaluationResultsForSessionScopedFilters();
        for (const MSRPBUserAttribute& attribute :
             MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, Slot::kUserAttributes)) {
            if (!engine_.audience_->evaluateFiltersForNanoUserProperty(attribute, nullptr, std::nullopt)) break;
        }
        MSRError error;
        if (!engine_.database_->clearCurrentSessionCounts(&error)) {
            report(1, 23185, "Failed to clear event session counts. Error", {error});
        }
    }
    int64_t engagement = 0;
    for (const MSRBundleRawEntry& entry : rawEvents) {
        const std::optional<int64_t> time = entry.integerParameter("_et");
        if (time && !entry.hasParameter("_fr")) engagement += *time;
    }
    // A negative time is refused for both totals (logged once).
    if (!updateUserEngagement(engagement, bundle, false) && engagement < 0) return;
    if (sessionStart) {
        // Without the delete, "_se" would add this session to the last one.
        MSRError error;
        if (!engine_.database_->deleteUserAttributeWithName("_se", &error)) {
            report(1, 23188, "Unable to delete session engagement property on session start. Error", {error});
            return;
        }
    }
    updateUserEngagement(engagement, bundle, true);
}

std::optional<std::vector<MSREvent>> MSRBundler::eventsAfterUpdatingEventAggregates(
    const std::vector<MSREvent>& events, MSRAudienceTimestampsCache* cache, bool allowEventFilterEvaluation) {
    if (!engine_.hasComponentsOnWorkerQueue()) return std::nullopt;
    std::vector<MSRBundleEvent> bundleEvents;
    bundleEvents.reserve(events.size());
    for (const MSREvent& event : events) bundleEvents.push_back({event, nullptr, 0});
    if (!updateEventAggregates(bundleEvents, cache, allowEventFilterEvaluation)) return std::nullopt;
    return eventObjectsOf(std::move(bundleEvents));
}

bool MSRBundler::updateEventAggregates(std::vector<MSRBundleEvent>& events, MSRAudienceTimestampsCache* cache,
                                           bool allowEventFilterEvaluation, int64_t metadataFingerprint) {
    // Each name's row is read once and written once per bundle; in between
    // the events of the run see the counts of the events before them, as if
    // every event had read and written the row itself.
    std::map<std::string, MSREventAggregates, std::less<>> byName;
    std::vector<const std::string*> order;
    const bool filtersRows = allowEventFilterEvaluation && engine_.audience_->hasEventFilters();
    for (MSRBundleEvent& event : events) {
        const std::string& name = event.name();
        auto found = byName.find(name);
        const bool seen = found != byName.end();
        std::optional<MSREventAggregates> stored;
        if (!seen) {
            MSRError error;
            stored = engine_.database_->eventAggregatesWithName(name, &error);
            if (!stored && error.code() != 0) {
                report(1, 23107, "Failed to query event aggregates. Name, error", {name, error});
                return false;
            }
        }
        // A row taken as stored is read into an object only for the event
        // filters, with the previous time the bundle gives it; the bundle
        // still takes its stored bytes.
        std::optional<MSREvent> filtered;
        if (!event.event && filtersRows) {
            MSRError error;
            std::optional<MSRRawEventData> data =
                engine_.database_->rawEventDataFromRow(*event.row, metadataFingerprint, &error);
            if (!data) {
                report(1, 23097, "Inconsistent state, raw event is expected. Error", {error});
                return false;
            }
            filtered = data->rawEvent();
        }
        MSREventAggregates* aggregates = seen ? &found->second : (stored ? &*stored : nullptr);
        const double timestamp = event.timestamp();
        if (aggregates) {
            const double previous = aggregates->lastFireTimestamp();
            if (event.event) {
                std::optional<MSREvent> copy = event.event->copyWithPreviousTimestamp(previous);
                if (copy) {
                    // The real-time flag is the bundle's to keep.
                    copy->setRealtime(event.event->isRealtime());
                    event.event = std::move(copy);
                }
            } else if (filtered) {
                std::optional<MSREvent> copy = filtered->copyWithPreviousTimestamp(previous);
                if (copy) {
                    filtered = std::move(copy);
                    event.previousTimestamp = previous;
                }
            } else if (MSREvent::acceptsPreviousTimestamp(name, timestamp, previous)) {
                event.previousTimestamp = previous;
            }
            aggregates->incrementCurrentBundleCount();
            aggregates->incrementLifetimeCount();
            aggregates->incrementCurrentSessionCount();
            aggregates->setLastFireTimestamp(timestamp);
        } else {
            stored = MSREventAggregates::initWithName(name, 1, 1, 1, timestamp);
            if (!stored) return false;
        }
        if (!seen) {
            found = byName.emplace(name, std::move(*stored)).first;
            order.push_back(&found->first);
        }
        if (!allowEventFilterEvaluation) continue;
        const MSREvent* evaluated = event.event ? &*event.event : (filtered ? &*filtered : nullptr);
        if (evaluated && !engine_.audience_->evaluateFiltersForEvent(*evaluated, found->second, cache))
            return false;
    }
    for (const std::string* name : order) {
        MSRError error;
        if (!engine_.database_->updateEventAggregates(byName.find(*name)->second, &error)) {
            report(1, 23108, "Failed to update event aggregates. Error", {error});
            return false;
        }
    }
    return true;
}

bool MSRBundler::updateAppMetadataForBundle(MSRPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                double bundleEndTimestamp) {
    if (!engine_.hasComponentsOnWorkerQueue()) return false;
    MSRError error;
    std::optional<MSRAppMetadata> metadata = engine_.database_->queryAppMetadata(&error);
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
    // A server drops a bundle whose (app instance id, bundle index) it has
    // accepted before. The database may have started afresh since (a
    // damaged file set aside, an update lost), so the count goes on from
    // the larger of its index and the one kept beside the app instance id.
    if (engine_.persistedConfig_) {
        const int64_t kept = engine_.persistedConfig_->lastBundleIndex();
        if (kept > metadata->lastBundleIndex() && kept <= std::numeric_limits<int32_t>::max()) {
            metadata = MSRAppMetadata::initWithLastBundleIndex(static_cast<int32_t>(kept),
                                                               metadata->lastBundleStartTimestamp(),
                                                               metadata->lastBundleEndTimestamp());
        }
    }
    metadata->incrementLastBundleIndex();
    metadata->setLastBundleStartTimestamp(bundleStartTimestamp);
    metadata->setLastBundleEndTimestamp(bundleEndTimestamp);
    MSRPBSetInt32(bundle, Slot::kBundleIndex, metadata->lastBundleIndex());
    // Kept at once, not after the commit: an index given up by a rolled back
    // bundle is skipped, never used twice.
    if (engine_.persistedConfig_) engine_.persistedConfig_->setLastBundleIndex(metadata->lastBundleIndex());
    if (!engine_.database_->updateAppMetadata(metadata, &error)) {
        report(1, 23112, "Unable to update the app metadata. Error", {error});
        return false;
    }
    return true;
}

bool MSRBundler::updateUserEngagement(int64_t engagementMillis, MSRPBMeasurementBundle& bundle,
                                          bool sessionScoped) {
    if (!engine_.hasComponentsOnWorkerQueue()) return false;
    if (engagementMillis < 0) {
        report(2, 23186, "User engagement time is negative.");
        return false;
    }
    if (engagementMillis == 0) return true;
    const std::string name = sessionScoped ? "_se" : "_lte";
    MSRError error;
    std::optional<MSRUserAttribute> stored = engine_.database_->userAttributeWithName(name, &error);
    if (!stored && error.code() != 0) {
        report(1, 23187, "Failed to query for user engagement user property. Name, error", {name, error});
        return false;
    }
    const int64_t total =
        (stored && stored->value().isInt64() ? stored->value().int64Value() : 0) + engagementMillis;
    const double now = dispatch::Clock::now();
    std::optional<MSRUserAttribute> attribute =
        MSRUserAttribute::initWithOrigin("auto", name, MSRValue(total), now);
    if (!attribute || !engine_.setUserPropertyInDatabaseOnWorkerQueue(*attribute)) return false;

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

void MSRBundler::addBundleMetadataIntoBundle(MSRPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                 double bundleEndTimestamp) {
    if (!engine_.hasComponentsOnWorkerQueue() || !engine_.persistedConfig_) return;
    std::vector<int64_t> experiments = engine_.remoteConfig_->experimentIDs();
    if (!experiments.empty())
        MSRPBSetArray(bundle, Slot::kExperimentIDs,
                      std::vector<MSRPBValue>(experiments.begin(), experiments.end()));

    if (std::shared_ptr<MSRMonitor> monitor = MSRMeasurement::monitor()) {
        std::optional<std::string> sample = monitor->monitoringDataForDispatchWithSamplePeriod(
            engine_.remoteConfig_->monitoringSamplePeriod(), engine_.persistedConfig_->lastMonitorDataSampledTimestamp());
        if (sample && !sample->empty()) {
            MSRPBSetString(bundle, Slot::kMonitoringSample, *sample);
            const double now = dispatch::Clock::now();
            applyAfterBundleCommit(
                [config = engine_.persistedConfig_, now] { config->setLastMonitorDataSampledTimestamp(now); });
        }
    }
    const int64_t version = engine_.remoteConfig_->version();
    if (version >= 0) MSRPBSetInt64(bundle, Slot::kConfigVersion, version);
    if (!MSRPBGetString(bundle, Slot::kAppID).value_or("").size()) {
        std::string appID = engine_.identity_->appID();
        if (appID.empty()) appID = foundation::Bundle::main().bundleIdentifier().value_or("");
        MSRPBSetString(bundle, Slot::kAppID, appID);
    }
    MSRPBSetInt64(bundle, Slot::kStartTimestamp, MSRMillisecondsFromSeconds(bundleStartTimestamp));
    MSRPBSetInt64(bundle, Slot::kEndTimestamp, MSRMillisecondsFromSeconds(bundleEndTimestamp));
}

void MSRBundler::handleAnalyticsStorageConsentTransitions(MSRPBMeasurementBundle& bundle) {
    if (!engine_.database_ || !engine_.persistedConfig_) return;
    const std::string previous = engine_.persistedConfig_->previousBundledConsentSignals().value_or("");
    const std::string current = MSRPBGetString(bundle, Slot::kConsentSignals).value_or("");
    if (previous == current) return;
    const bool wasDenied = MSRIsAnalyticsStorageDeniedInSignals(previous);
    const bool isDenied = MSRIsAnalyticsStorageDeniedInSignals(current);
    MSRError error;
    if (!wasDenied && isDenied) {
        if (!engine_.database_->createEventsSnapshotTable(&error) && error.code() != 0)
            report(4, 23266, "Unable to create table snapshot. Error", {error});
    } else if (wasDenied && !isDenied) {
        if (!engine_.database_->restoreFromEventsSnapshotTable(&error)) {
            // Not recorded: the next bundle tries again, otherwise the counts
            // kept while storage was denied would be lost for good.
            if (error.code() != 0) report(4, 23267, "Unable to restore from table snapshot. Error", {error});
            return;
        }
    }
    // Recorded even after a failed snapshot, so that the same transition is
    // not tried again; but only once the bundle's transaction has committed,
    // since a rollback also takes the snapshot back.
    applyAfterBundleCommit(
        [config = engine_.persistedConfig_, current] { config->setPreviousBundledConsentSignals(current); });
}
