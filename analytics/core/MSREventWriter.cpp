// The single writer of events: the server's blocklist, the conversion mark,
// and one transaction that records lifetime value, applies the daily caps,
// decides real-time delivery and stores the raw event with its metadata.

#include <cmath>
#include <limits>

#include "analytics/core/MSRAnalyticsState.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSREnvironmentInfo.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSREventWriter.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRUploader.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRKeychainWrapper.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DataLoss.h"

namespace {

// MSRPBMeasurementBundle and MSRPBAdCampaignInfo field indexes.
enum : uint32_t { kBundleResettableDeviceID = 19, kBundleAdCampaignInfo = 52 };
enum : uint32_t { kCampaignZclid = 0, kCampaignZbraid = 1, kCampaignSource = 2, kCampaignClickMillis = 3 };

constexpr const char* kPreviousFirstOpenCountIdentifier = "_pfo";

void logEventWriter(int64_t level, int64_t code, std::string_view message,
                    const std::vector<MSRLogContext>& contexts = {}) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

bool isSet(const MSRError& error) {
    return error.code() != 0 || !error.domain().empty();
}

// The caps log a dropped event only when the count is a whole thousand past
// the limit, so a runaway logger does not flood the console.
void reportOvershoot(int64_t count, int64_t limit, int64_t level, int64_t code, std::string_view message,
                     const std::vector<MSRLogContext>& contexts) {
    if ((count - limit) % 1000 == 0) logEventWriter(level, code, message, contexts);
}

MSRLogContext parameterContext(const MSREvent& event, const char* name) {
    auto found = event.parameters().find(name);
    return found == event.parameters().end() ? MSRLogContext() : MSRLogContext(found->second.description());
}

bool isSubjectToRealtimeLimit(const MSREvent& event, bool debugMode) {
    const std::string& name = event.name();
    return !debugMode && name != "_iap" && name != "_f" && name != "_dcu" && name != "_fx";
}

bool isDCURealtimeEventInWriter(const MSREvent& event, bool debugMode) {
    return !debugMode && event.name() == "_dcu";
}

int32_t effectiveEventCount(const MSREvent& event) {
    int64_t count = 1 + MSRCountArrayItems(event);
    return static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
}

// A stored count as a number; missing, unreadable and non-positive counts
// are 0.
int64_t countFromText(const std::optional<std::string>& text) {
    if (!text) return 0;
    try {
        size_t used = 0;
        long long value = std::stoll(*text, &used);
        return used == text->size() && value > 0 ? value : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

// --- Writer -------------------------------------------------------------------------

void MSREventWriter::writeEventOnWorkerQueue(MSREvent event) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue");
    if (!engine_.hasComponentsOnWorkerQueue() || !engine_.persistedConfig_) return;
    if (MSRMonitor::shared()->wouldLogWithLevel(7)) {
        logEventWriter(7, 23051, "Logging event: origin, name, params",
                       {event.origin(), MSRDebugEventName(event.name()), MSRDebugParameters(event.parameters(), "")});
    }
    // What the event sets off (a conditional property activated, timed out
    // or expired, and the events that tell of it) commits with it: a kill in
    // between must not leave a property active whose event was never written.
    writeTogetherOnWorkerQueue([&] {
        std::optional<std::vector<MSREvent>> further =
            engine_.conditionalUserPropertyController_
                ? engine_.conditionalUserPropertyController_->processEventOnWorkerQueue(event)
                : std::optional<std::vector<MSREvent>>(std::vector<MSREvent>{});
        if (!further) {
            logEventWriter(4, 23050, "Unable to process conditional user property. Event name, origin",
                           {MSRDebugEventName(event.name()), event.origin()});
        }
        writeFilteredEventOnWorkerQueue(std::move(event));
        for (MSREvent& next : further.value_or(std::vector<MSREvent>{}))
            writeFilteredEventOnWorkerQueue(std::move(next));
    });
}

// The persisted values of the events written together are applied once
// their one commit is made: at once, as for a single event that has any, so
// that the values are written only with it and the next event reads them.
void MSREventWriter::writeTogetherOnWorkerQueue(const std::function<void()>& block) {
    MSRDatabase* database = engine_.database_.get();
    if (!database || database->isHoldingPendingWrites()) {
        block();
        return;
    }
    engine_.pendingEventWrites_ = {};
    database->holdPendingWrites(block);
    if (hasPendingEventWrites() && database->commitPendingWrites()) {
        applyPendingEventWrites();
    } else {
        engine_.pendingEventWrites_ = {};
    }
    commitWritesBehindQueuedWork();
}

void MSREventWriter::writeFilteredEventOnWorkerQueue(MSREvent event) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("writeFilteredEventOnWorkerQueue");
    if (!engine_.hasComponentsOnWorkerQueue() || !engine_.persistedConfig_) return;
    const std::string name = event.name();
    if (engine_.remoteConfig_->isEventBlocklisted(name)) {
        logEventWriter(5, 23052, "Rejected event. Event name", {MSRDebugEventName(name)});
        if (!engine_.remoteConfig_->blocklistInternal() && !engine_.remoteConfig_->blocklistPublic() && name != "_err") {
            MSRValue nameValue(name);
            MSRLogErrorEventWithValue(11, name, 40, &nameValue);
        }
        return;
    }
    engine_.identity_->updateIdentifiers();
    if (MSRIsDefaultConversionEventName(name)) event.setConversion(true);

    // Events written together keep what the earlier ones left to persist,
    // and read it as the persisted values; the group's one commit applies it.
    const MSRMeasurement::PendingEventWrites before = engine_.pendingEventWrites_;
    std::optional<PreparedWrite> prepared = prepareWrite(event);
    bool handed = false;
    auto block = [&] {
        if (!prepared && !updateLifetimeValueWithEvent(event)) return false;
        bool isPublic = MSRIsPublicName(event.name());
        MSRError error;
        std::optional<MSRDailyCounts> counts = engine_.database_->dailyCounts(&error);
        if (!counts) {
            if (isSet(error)) {
                logEventWriter(1, 23054, "Data loss. Unable to query daily event counts. Error", {error});
                return false;
            }
            counts.emplace(currentDayIndex(), 0, 0, 0, 0, 0, 0);
        }
        if (int32_t day = currentDayIndex(); counts->day() != day) counts->resetWithNewDay(day);
        bool process = shouldProcessEvent(event, *counts, isPublic);
        bool realtime = isRealtimeEvent(event, *counts);
        if (!engine_.database_->updateDailyCounts(counts, &error)) {
            logEventWriter(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
                           {MSRDebugEventName(event.name()), error});
            return false;
        }
        if (!process) return true;
        handed = true;
        return writeEvent(event, isPublic, realtime, prepared ? &*prepared : nullptr);
    };
    // Most events only add their row: with everything else read and checked
    // beforehand, nothing needs a savepoint to be undone.
    bool kept = prepared ? engine_.database_->performGroupedWrite(block)
                         : engine_.database_->performGroupedTransaction(block);
    if (name == "_s" && (handed || !kept)) ++engine_.sessionStartsHandedToStore_;
    if (!kept) {
        engine_.pendingEventWrites_ = before;
        engine_.eventWriteFailed_ = true;
        foundation::DataLoss::note("analytics events", 1, "events whose write failed");
    }
}

bool MSREventWriter::hasPendingEventWrites() const {
    const MSRMeasurement::PendingEventWrites& pending = engine_.pendingEventWrites_;
    return pending.adCampaignInfoBuffer || pending.unmatchedFirstOpenWithoutIDFA || pending.previousFirstOpenCount ||
           pending.firstOpenConsentedTimestamp;
}

// Events written back to back share one commit, made once the work queued on
// the worker before it has run: a burst costs one commit instead of one per
// event, and a lone event is committed straight after it.
void MSREventWriter::commitWritesBehindQueuedWork() {
    if (engine_.commitQueued_ || !engine_.database_->hasPendingWrites()) return;
    engine_.commitQueued_ = true;
    std::weak_ptr<MSRMeasurement> weakSelf = engine_.weak_from_this();
    engine_.scheduleOrderFreeOnWorkerQueue("MSRMeasurement:commit", [weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        self->commitQueued_ = false;
        if (self->database_) self->database_->commitPendingWrites();
        if (std::exchange(self->scheduleUpdateQueued_, false)) self->uploader().updateSchedule();
    });
}

// The schedule depends on what is stored, not on each event: while a commit
// is queued it is worked out once, after it.
void MSREventWriter::updateScheduleOnceWritten() {
    if (engine_.commitQueued_) {
        engine_.scheduleUpdateQueued_ = true;
    } else {
        engine_.uploader().updateSchedule();
    }
}

// Listeners hear of an event once what it wrote is on disk; the events of one
// commit reach them in one hand-over. An event whose writes were undone, or
// went with a commit that failed, is not stored, and nobody hears of it.
void MSREventWriter::notifyEventListenersOnceWritten(const MSREvent& event) {
    if (std::exchange(engine_.eventWriteFailed_, false)) return;
    if (!engine_.database_ || !engine_.database_->hasPendingWrites()) {
        MSRAnalyticsState::notifyEventListeners(event);
        return;
    }
    keepForListenersUntilCommit(MSREvent(event));
}

// The event is kept until the commit, so it is taken rather than copied.
void MSREventWriter::notifyEventListenersOnceWritten(MSREvent&& event) {
    if (std::exchange(engine_.eventWriteFailed_, false)) return;
    if (!engine_.database_ || !engine_.database_->hasPendingWrites()) {
        MSRAnalyticsState::notifyEventListeners(event);
        return;
    }
    keepForListenersUntilCommit(std::move(event));
}

void MSREventWriter::keepForListenersUntilCommit(MSREvent&& event) {
    if (engine_.eventsAwaitingCommit_.empty()) {
        std::weak_ptr<MSRMeasurement> weakSelf = engine_.weak_from_this();
        engine_.database_->runWhenPendingWritesEnd([weakSelf](bool committed) {
            auto self = weakSelf.lock();
            if (!self) return;
            std::vector<MSREvent> events = std::exchange(self->eventsAwaitingCommit_, {});
            self->eventsAwaitingCommitCount_.store(0, std::memory_order_relaxed);
            if (committed) MSRAnalyticsState::notifyEventListeners(std::move(events));
        });
    }
    engine_.eventsAwaitingCommit_.push_back(std::move(event));
    engine_.eventsAwaitingCommitCount_.store(engine_.eventsAwaitingCommit_.size(), std::memory_order_relaxed);
}

bool MSREventWriter::updateLifetimeValueWithEvent(const MSREvent& event) {
    if (!engine_.lifetimeValueRecorder_ || !engine_.lifetimeValueRecorder_->isPurchaseEvent(event)) return true;
    if (engine_.lifetimeValueRecorder_->recordLifetimeValueToDatabase(*engine_.database_, event)) return true;
    logEventWriter(1, 23053, "Cannot record lifetime value of event. Name, currency code, transaction value",
                   {MSRDebugEventName(event.name()), parameterContext(event, "currency"),
         parameterContext(event, "value")});
    return false;
}

int32_t MSREventWriter::currentDayIndex() {
    return MSRDailyCounts::dayForTime(dispatch::Clock::now(), engine_.persistedConfig_->midnightOffset());
}

// --- Daily caps and real-time delivery ---------------------------------------------

bool MSREventWriter::shouldProcessEvent(const MSREvent& event, MSRDailyCounts& counts, bool isPublicEvent) {
    int32_t day = currentDayIndex();
    int32_t effective = effectiveEventCount(event);
    bool isError = event.name() == "_err";
    std::string name = MSRDebugEventName(event.name());

    int64_t maxEvents = engine_.remoteConfig_->maxEventsPerDay();
    if (counts.allEventsCount() >= maxEvents) {
        reportOvershoot(counts.allEventsCount(), maxEvents, 1, 23055,
                        "Data loss. Too many events logged. Name, limit", {name, maxEvents});
        if (isError) {
            counts.incrementErrorEventsCountForCurrentDay(day);
        } else {
            counts.incrementCountsForCurrentDay(day, isPublicEvent, false, effective);
        }
        return false;
    }
    // An error or public event over its own cap is still counted as one of
    // its kind, but taken back from the day's total: it is not written.
    auto underOwnCap = [&](int64_t count, int64_t limit, int64_t code, std::string_view message,
                           MSRLogContext subject, bool lossIsAnError, auto&& countIt) {
        const bool over = count >= limit;
        if (over) {
            reportOvershoot(count, limit, 1, code, message, {std::move(subject), limit});
            if (lossIsAnError) MSRLogErrorEvent(16);
        }
        countIt();
        if (over) counts.decrementAllEventsCount();
        return !over;
    };
    if (isError) {
        return underOwnCap(counts.errorEventsCount(), engine_.remoteConfig_->maxErrorEventsPerDay(), 23056,
                           "Too many error events logged. Error code, limit", parameterContext(event, "_err"), false,
                           [&] { counts.incrementErrorEventsCountForCurrentDay(day); });
    }
    if (isPublicEvent) {
        return underOwnCap(counts.publicEventsCount(), engine_.remoteConfig_->maxPublicEventsPerDay(), 23057,
                           "Data loss. Too many public events logged. Name, limit", name, true,
                           [&] { counts.incrementCountsForCurrentDay(day, true, event.isConversion(), effective); });
    }
    counts.incrementCountsForCurrentDay(day, false, event.isConversion(), effective);
    return true;
}

bool MSREventWriter::isRealtimeEvent(MSREvent& event, MSRDailyCounts& counts) {
    bool debugMode = MSRMonitor::shared()->isDebugModeEnabled();
    bool subject = isSubjectToRealtimeLimit(event, debugMode);
    int64_t maxRealtime = engine_.remoteConfig_->maxRealtimeEventCountPerDay();
    bool conversion = event.isConversion() || engine_.remoteConfig_->isEventCustomConversion(event.name());
    bool counted = conversion && (!subject || counts.realtimeCount() < maxRealtime);

    if (event.isRealtime() && subject && counts.realtimeCount() >= maxRealtime) {
        event.setRealtime(false);
        logEventWriter(4, 23060, "Too many real-time events. Event is no longer real-time. Event name, parameters",
                       {MSRDebugEventName(event.name()), MSRDebugParameters(event.parameters(), "")});
    }
    if (event.isRealtime() && isDCURealtimeEventInWriter(event, debugMode) &&
        counts.dcuRealtimeCount() >= engine_.remoteConfig_->maxRealtimeDCUEventCountPerDay()) {
        event.setRealtime(false);
    }
    maybeAddDebugAndRealtimeParameters(event);
    return counted || event.isRealtime();
}

void MSREventWriter::maybeAddDebugAndRealtimeParameters(MSREvent& event) {
    if (!MSRMonitor::shared()->isDebugModeEnabled()) return;
    event.setRealtime(true);
    event.setDebug(true);
    logEventWriter(7, 23073, "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
                   {MSRDebugEventName(event.name()), MSRDebugParameters(event.parameters(), "")});
}

// --- Storing ------------------------------------------------------------------------

// The reads and checks of an event whose write adds nothing but its row:
// its name has aggregates, its metadata is stored, the store has room, and it
// records no lifetime value, campaign or advertising-ID reset. Anything else,
// a failed read included, takes the road with a savepoint, which asks again.
std::optional<MSREventWriter::PreparedWrite> MSREventWriter::prepareWrite(const MSREvent& event) {
    MSRDatabase& database = *engine_.database_;
    if (event.name() == "_cmp") return std::nullopt;
    if (engine_.lifetimeValueRecorder_ && engine_.lifetimeValueRecorder_->isPurchaseEvent(event)) return std::nullopt;
    if (!database.containsEventAggregatesWithName(event.name(), nullptr).value_or(false)) return std::nullopt;
    if (engine_.identity_->shouldSetLastAdvertisingIDResetUserProperty()) return std::nullopt;
    if (database.isRawEventStoreFull(nullptr).value_or(true)) return std::nullopt;
    PreparedWrite prepared{metadataForEvent(nullptr), 0};
    if (!prepared.metadata ||
        !database.isRawEventMetadataStored(prepared.metadata->encoded, &prepared.fingerprint, nullptr).value_or(false))
        return std::nullopt;
    return prepared;
}

// The metadata stored with an event: the user properties, and the campaign
// waiting to be persisted or persisted already. Nothing when the properties
// cannot be read.
//
// Most events come with nothing changed since the one before: their stamp
// matches and the last metadata is theirs, with no read of the properties or
// the identity. The stamp is taken before the inputs are read, so a change
// made while they are read shows as a new stamp at the next event.
std::shared_ptr<const MSREventWriter::Metadata> MSREventWriter::metadataForEvent(MSRError* error) {
    const bool campaignPending = engine_.pendingEventWrites_.adCampaignInfoBuffer.has_value();
    MetadataStamp stamp = metadataStamp();
    const double now = dispatch::Clock::now();
    if (lastMetadata_ && lastStamp_ && !campaignPending && *lastStamp_ == stamp &&
        engine_.identity_ && engine_.identity_->answersCurrentAt(now)) {
        return lastMetadata_;
    }
    lastStamp_.reset();
    std::optional<std::vector<MSRUserAttribute>> attributes =
        engine_.database_->userAttributesIncludingInternal(true, error);
    if (!attributes) return nullptr;
    MSRRawEventMetadataInputs inputs = engine_.rawEventMetadataInputsWithUserAttributes(*attributes);
    const MSRMeasurement::PendingEventWrites& pending = engine_.pendingEventWrites_;
    std::optional<std::vector<uint8_t>> campaign = pending.adCampaignInfoBuffer
                                                       ? pending.adCampaignInfoBuffer
                                                       : engine_.persistedConfig_->adCampaignInfoBuffer();
    if (!campaignPending) lastStamp_ = std::move(stamp);
    if (lastMetadata_ && lastMetadata_->inputs == inputs && lastMetadata_->campaign == campaign) return lastMetadata_;

    auto made = std::make_shared<Metadata>();
    made->message = MSRMeasurement::rawEventMetadataFromInputs(inputs);
    if (campaign && !campaign->empty()) {
        if (auto info = MSRPBAdCampaignInfo::initWithBuffer(*campaign)) {
            MSRPBSetMessage(made->message, kBundleAdCampaignInfo, *info);
        }
    }
    made->encoded = made->message.protoBuffer().value_or(std::vector<uint8_t>{});
    made->inputs = std::move(inputs);
    made->campaign = std::move(campaign);
    lastMetadata_ = std::move(made);
    return lastMetadata_;
}

MSREventWriter::MetadataStamp MSREventWriter::metadataStamp() {
    MetadataStamp stamp;
    stamp.database = engine_.database_.get();
    stamp.identity = engine_.identity_.get();
    stamp.remoteConfig = engine_.remoteConfig_.get();
    stamp.persistedConfig = engine_.persistedConfig_.get();
    stamp.attributes = engine_.database_->userAttributesGeneration();
    stamp.identityAnswers = engine_.identity_ ? engine_.identity_->answersGeneration() : 0;
    stamp.remoteConfigGeneration = engine_.remoteConfig_ ? engine_.remoteConfig_->generation() : 0;
    stamp.persistedConfigGeneration = engine_.persistedConfig_->generation();
    stamp.consent = MSRConsentSettingsUtil::changeCount();
    stamp.sessionExpired = engine_.sessionReporter_ && engine_.sessionReporter_->isSessionExpired();
    std::shared_ptr<MSREnvironmentInfo> environment = MSREnvironmentInfo::sharedInstance();
    stamp.timeZoneOffsetMinutes = environment->timeZoneOffsetMinutes();
    stamp.language = environment->userDefaultLanguage();
    return stamp;
}

bool MSREventWriter::writeEvent(MSREvent& event, bool isPublicEvent, bool isRealtime, const PreparedWrite* prepared) {
    if (prepared) return storeEvent(event, isRealtime, prepared->metadata->message, prepared->fingerprint);
    const std::string& name = event.name();
    MSRError error;
    std::optional<bool> hasAggregates = engine_.database_->containsEventAggregatesWithName(name, &error);
    if (!hasAggregates) {
        logEventWriter(1, 23063, "Cannot query event aggregates. Name, error", {MSRDebugEventName(name), error});
        return false;
    }
    if (!*hasAggregates) {
        if (isPublicEvent) {
            std::optional<int64_t> publicNames = engine_.database_->publicEventCount(&error);
            if (!publicNames) {
                logEventWriter(1, 23064, "Cannot query event count. Error", {error});
                return false;
            }
            if (*publicNames >= engine_.remoteConfig_->maxEventNameCardinality()) {
                logEventWriter(1, 23065, "Cannot set event. Reached limit on set events. Name",
                               {MSRDebugEventName(name)});
                MSRLogErrorEvent(8);
                return false;
            }
        }
        std::optional<MSREventAggregates> fresh = MSREventAggregates::initWithName(name, 0, 0, 0, 0);
        if (!fresh || !engine_.database_->updateEventAggregates(*fresh, &error)) {
            logEventWriter(1, 23066, "Data loss. Cannot record event aggregates. Error", {error});
            return false;
        }
    }
    if (engine_.identity_->shouldSetLastAdvertisingIDResetUserProperty())
        engine_.setLastAdvertisingIDResetUserPropertyOnWorkerQueue();

    MSRMeasurement::PendingEventWrites& pending = engine_.pendingEventWrites_;
    if (name == "_cmp") {
        if (auto campaign = adCampaignInfoFromEvent(event)) {
            if (auto encoded = campaign->protoBuffer()) pending.adCampaignInfoBuffer = *encoded;
        }
    }
    std::shared_ptr<const Metadata> metadata = metadataForEvent(&error);
    if (!metadata) {
        logEventWriter(1, 23067, "Data loss. Cannot query user properties. Error", {error});
        return false;
    }
    int64_t fingerprint = 0;
    if (!engine_.database_->insertIfNotExistsRawEventMetadata(metadata->encoded, &error, &fingerprint)) {
        logEventWriter(1, 23068, "Data loss. Cannot record event metadata. Error", {error});
        return false;
    }
    std::optional<int64_t> deleted = engine_.database_->deleteRawEventsOverAbsoluteLimit(&error);
    if (!deleted) {
        logEventWriter(1, 23069, "Data loss. Unable to check raw event storage limit. Error", {error});
        return false;
    }
    if (*deleted > 0) logEventWriter(4, 23070, "Data loss. Too many events stored on disk. Deleted count", {*deleted});
    return storeEvent(event, isRealtime, metadata->message, fingerprint);
}

// The event's row, and what its metadata and name leave to persist once the
// row commits.
bool MSREventWriter::storeEvent(MSREvent& event, bool isRealtime, const MSRPBMeasurementBundle& metadata,
                                int64_t fingerprint) {
    const std::string& name = event.name();
    MSRMeasurement::PendingEventWrites& pending = engine_.pendingEventWrites_;
    bool hasAdvertisingID = !MSRPBGetString(metadata, kBundleResettableDeviceID).value_or("").empty();
    bool unmatched =
        pending.unmatchedFirstOpenWithoutIDFA.value_or(engine_.persistedConfig_->unmatchedFirstOpenWithoutIDFA());
    if (hasAdvertisingID && unmatched) {
        pending.firstOpenConsentedTimestamp = event.timestamp();
    } else if (!hasAdvertisingID && name == "_f") {
        pending.unmatchedFirstOpenWithoutIDFA = true;
    }

    MSRError error;
    if (!engine_.database_->insertRawEvent(event, fingerprint, isRealtime, &error) && isSet(error)) {
        logEventWriter(1, 23071, "Data loss. Cannot record raw event. Error", {error});
        return false;
    }
    if (name == "_f") {
        int64_t count = countFromText(pending.previousFirstOpenCount ? pending.previousFirstOpenCount
                                                                     : previousFirstOpenCount());
        if (count < std::numeric_limits<int64_t>::max()) ++count;
        pending.previousFirstOpenCount = std::to_string(count);
    }
    // Said only once the row is committed: until then a full disk or a
    // failed commit can still take it back.
    if (MSRMonitor::shared()->wouldLogWithLevel(7)) {
        engine_.database_->runWhenPendingWritesEnd(
            [eventName = MSRDebugEventName(name),
             parameters = MSRDebugParameters(event.parameters(), "")](bool committed) {
                if (committed)
                    logEventWriter(7, 23072, "Event logged. Event name, event params", {eventName, parameters});
            });
    }
    return true;
}

void MSREventWriter::applyPendingEventWrites() {
    MSRMeasurement::PendingEventWrites pending = std::exchange(engine_.pendingEventWrites_, {});
    if (pending.adCampaignInfoBuffer) engine_.persistedConfig_->setAdCampaignInfoBuffer(pending.adCampaignInfoBuffer);
    if (pending.unmatchedFirstOpenWithoutIDFA) {
        engine_.persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(*pending.unmatchedFirstOpenWithoutIDFA);
    }
    if (pending.previousFirstOpenCount) setPreviousFirstOpenCount(pending.previousFirstOpenCount);
    if (pending.firstOpenConsentedTimestamp) logFirstOpenConsentedEvent(*pending.firstOpenConsentedTimestamp);
}

// --- Ad campaigns and the first open after consent ----------------------------------

std::optional<MSRPBAdCampaignInfo> MSREventWriter::adCampaignInfoFromEvent(const MSREvent& event) {
    const MSRParameters& parameters = event.parameters();
    if (event.name() != "_cmp" || (!parameters.count("zclid") && !parameters.count("zbraid")))
        return std::nullopt;
    MSRPBAdCampaignInfo campaign;
    MSRPBSetInt64(campaign, kCampaignClickMillis, MSRMillisecondsFromSeconds(event.timestamp()));
    const std::pair<const char*, uint32_t> texts[] = {
        {"zclid", kCampaignZclid}, {"zbraid", kCampaignZbraid}, {"zad_source", kCampaignSource}};
    for (const auto& [parameter, field] : texts) {
        auto found = parameters.find(parameter);
        if (found != parameters.end() && found->second.isString()) {
            MSRPBSetString(campaign, field, *found->second.stringValue());
        }
    }
    return campaign;
}

void MSREventWriter::logFirstOpenConsentedEvent(double timestamp) {
    engine_.persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(false);
    int64_t previousCount = countFromText(previousFirstOpenCount());
    int64_t updateWithAnalytics = 0;
    if (auto firstOpenAfterInstall = engine_.database_->userAttributeWithName("_fi", nullptr)) {
        const MSRValue& value = firstOpenAfterInstall->value();
        updateWithAnalytics = value.isInt64() && value.int64Value() < 1 ? 1 : 0;
    }
    MSRObjectDictionary parameters = {{"_pfo", MSRValue(int64_t{previousCount < 2 ? 0 : previousCount - 1})},
                                      {"_uwa", MSRValue(updateWithAnalytics)}};
    engine_.onWorkerQueue("MSRMeasurement:988", [parameters, timestamp](MSRMeasurement& engine) {
        std::optional<MSREvent> event =
            MSREvent::initWithOrigin("auto", false, "_fx", timestamp, 0, parameters);
        if (!event) return;
        event->setRealtime(true);
        engine.eventWriter().writeEventOnWorkerQueue(*event);
    });
}

std::optional<std::string> MSREventWriter::previousFirstOpenCount() {
    return MSRKeychainWrapper::keychainValue(kPreviousFirstOpenCountIdentifier,
                                             foundation::Bundle::main().bundleIdentifier().value_or(""));
}

void MSREventWriter::setPreviousFirstOpenCount(const std::optional<std::string>& count) {
    std::string appID = foundation::Bundle::main().bundleIdentifier().value_or("");
    if (count) {
        MSRKeychainWrapper::upsertKeychainValue(*count, kPreviousFirstOpenCountIdentifier, appID);
    } else {
        MSRKeychainWrapper::deleteKeychainValue(kPreviousFirstOpenCountIdentifier, appID);
    }
}
