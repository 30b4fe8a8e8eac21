// The worker-queue side of event logging: the entries through which the
// facade and the engine's own reporters hand events over, the default event
// parameters, and the checks each event passes before it is written.

#include <algorithm>
#include <atomic>
#include <limits>

#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSREventWriter.h"
#include "analytics/core/MSRPackedEvent.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/model/MSRPEventEditing.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRStoredCount.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/Clock.h"

namespace {

void logEventHandling(int64_t level, int64_t code, std::string_view message,
                      const std::vector<MSRLogContext>& contexts = {}) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

bool errorIsSet(const MSRError& error) {
    return error.code() != 0 || !error.domain().empty();
}

std::string describeParameters(const MSRObjectDictionary& parameters) {
    foundation::Value::Dictionary plain;
    for (const auto& [name, object] : parameters) {
        if (const auto* value = std::get_if<MSRValue>(&object)) {
            plain.emplace(name, value->plainObject());
        } else {
            plain.emplace(name, std::get<foundation::Value>(object));
        }
    }
    return foundation::Value(std::move(plain)).jsonText();
}

MSRObjectDictionary objectsFromDictionary(const foundation::Value::Dictionary& dictionary) {
    MSRObjectDictionary objects;
    for (const auto& [name, value] : dictionary) objects.emplace(name, value);
    return objects;
}

// What a default parameter value is, as far as the defaults care.
enum class DefaultValueKind { kMissing, kNull, kScalar, kList, kOther };

DefaultValueKind defaultValueKind(const MSRObject& object) {
    if (const auto* value = std::get_if<MSRValue>(&object)) {
        return value->isArray() ? DefaultValueKind::kList : DefaultValueKind::kScalar;
    }
    switch (std::get<foundation::Value>(object).type()) {
        case foundation::Value::Type::Absent:
            return DefaultValueKind::kMissing;
        case foundation::Value::Type::Null:
            return DefaultValueKind::kNull;
        case foundation::Value::Type::Bool:
        case foundation::Value::Type::Integer:
        case foundation::Value::Type::Double:
        case foundation::Value::Type::String:
            return DefaultValueKind::kScalar;
        case foundation::Value::Type::List:
            return DefaultValueKind::kList;
        default:
            return DefaultValueKind::kOther;
    }
}

foundation::Value plainObject(const MSRObject& object) {
    if (const auto* value = std::get_if<MSRValue>(&object)) return value->plainObject();
    return std::get<foundation::Value>(object);
}

enum : uint8_t { kPublic = 1, kEnabled = 2, kIgnoreEnabled = 4, kIgnoreInterceptor = 8 };

// A batch waits no longer for more events than this: the worker's other work
// queued behind it waits for the whole batch.
constexpr size_t kMaxEventsPerBatch = 64;
constexpr const char* kLogEventBlockID = "MSRMeasurement:2414";
// The program's time per batch: each event's run is bounded, but a batch
// holds many, and the worker's other work waits behind all of them. Past
// this the rest of the batch is stored unedited.
constexpr double kEditingSecondsPerBatch = 1.0;
std::atomic<double> editingSecondsPerBatch{kEditingSecondsPerBatch};
// The program's time once the application ends: enough for the few events
// of the last moments, little beside the end's own limit (1.8 s on a
// signal), in which whatever was handed over must be stored.
constexpr double kEditingSecondsAtTheEnd = 0.25;

}  // namespace

struct MSRMeasurement::PendingEventBatch {
    // What few events carry besides their parameters.
    struct Extras {
        MSRLogEventInterceptor interceptor;
        std::optional<MSRParameters> addedScreenParameters;
    };
    struct Event {
        MSRPackedEvent packed;
        uint8_t flags;
        std::shared_ptr<const Extras> extras;
        MSREventBacklog::Ticket place;
    };
    std::vector<Event> events;
    // The batch's block's place on the worker (MSRScheduler).
    uint64_t place = 0;
};

// --- Entries ----------------------------------------------------------------------

void MSRMeasurement::setEditingSecondsPerBatchForTesting(double seconds) {
    editingSecondsPerBatch.store(seconds);
}

void MSRMeasurement::logEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                              const MSRObjectDictionary& parameters, double timestamp, bool enabled,
                              bool ignoreEnabled, bool ignoreInterceptor,
                              const MSRLogEventInterceptor& interceptor,
                              const std::optional<MSRParameters>& addedScreenParameters) {
    logAdmittedEvent(origin, isPublicEvent, name, parameters, timestamp, enabled, ignoreEnabled, ignoreInterceptor,
                     interceptor, addedScreenParameters, MSREventBacklog::Ticket());
}

void MSRMeasurement::logAdmittedEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const MSRObjectDictionary& parameters, double timestamp, bool enabled,
                                      bool ignoreEnabled, bool ignoreInterceptor,
                                      const MSRLogEventInterceptor& interceptor,
                                      const std::optional<MSRParameters>& addedScreenParameters,
                                      MSREventBacklog::Ticket place) {
    if (!scheduler_) return;
    queuePendingEvent(MSRPackedEvent(origin, name, timestamp, parameters), isPublicEvent, enabled, ignoreEnabled,
                      ignoreInterceptor, interceptor, addedScreenParameters, std::move(place));
}

void MSRMeasurement::logAdmittedPackedEvent(MSRPackedEvent event, bool isPublicEvent, bool enabled,
                                            bool ignoreEnabled, bool ignoreInterceptor,
                                            const MSRLogEventInterceptor& interceptor,
                                            const std::optional<MSRParameters>& addedScreenParameters,
                                            MSREventBacklog::Ticket place) {
    if (!scheduler_) return;
    queuePendingEvent(std::move(event), isPublicEvent, enabled, ignoreEnabled, ignoreInterceptor, interceptor,
                      addedScreenParameters, std::move(place));
}

void MSRMeasurement::queuePendingEvent(MSRPackedEvent event, bool isPublicEvent, bool enabled, bool ignoreEnabled,
                                       bool ignoreInterceptor, const MSRLogEventInterceptor& interceptor,
                                       const std::optional<MSRParameters>& addedScreenParameters,
                                       MSREventBacklog::Ticket place) {
    PendingEventBatch::Event pending{std::move(event),
                         static_cast<uint8_t>((isPublicEvent ? kPublic : 0) | (enabled ? kEnabled : 0) |
                                              (ignoreEnabled ? kIgnoreEnabled : 0) |
                                              (ignoreInterceptor ? kIgnoreInterceptor : 0)),
                         interceptor || addedScreenParameters
                             ? std::make_shared<const PendingEventBatch::Extras>(
                                   PendingEventBatch::Extras{interceptor, addedScreenParameters})
                             : nullptr,
                         std::move(place)};
    std::lock_guard lock(pendingEventsMutex_);
    // Joining the open batch keeps the order of the worker's work only while
    // nothing was queued behind it.
    if (openEventBatch_ && scheduler_->scheduledBlockCount() == openEventBatchPlace_) {
        openEventBatch_->events.push_back(std::move(pending));
        if (openEventBatch_->events.size() >= kMaxEventsPerBatch) openEventBatch_.reset();
        return;
    }
    auto batch = std::make_shared<PendingEventBatch>();
    batch->events.reserve(kMaxEventsPerBatch);
    batch->events.push_back(std::move(pending));
    // The engine stays alive until the events have been handled.
    openEventBatchPlace_ = scheduler_->scheduleOnWorkerQueueBlockID(
        kLogEventBlockID, [self = shared_from_this(), batch] { self->logPendingEventsOnWorkerQueue(*batch); });
    batch->place = openEventBatchPlace_;
    queuedEventBatches_.push_back(batch);
    openEventBatch_ = std::move(batch);
}

void MSRMeasurement::logPendingEventsOnWorkerQueue(PendingEventBatch& batch) {
    std::vector<PendingEventBatch::Event> events;
    {
        // Closed: later events go to a batch of their own.
        std::lock_guard lock(pendingEventsMutex_);
        if (openEventBatch_.get() == &batch) openEventBatch_.reset();
        events = std::move(batch.events);
        // Oldest first: the batch is the first one, unless the end took it
        // (and those before it) ahead of its block.
        const auto queued = std::find_if(queuedEventBatches_.begin(), queuedEventBatches_.end(),
                                         [&batch](const auto& held) { return held.get() == &batch; });
        if (queued != queuedEventBatches_.end()) queuedEventBatches_.erase(queued);
    }
    // The program's time is counted over the whole batch.
    editingBatch_ = EditingBatch{0, false};
    // Each event on its own, as if it had its own block: one that throws
    // does not take the rest of the batch with it.
    for (PendingEventBatch::Event& pending : events) {
        scheduler_->runBlockID(kLogEventBlockID, [this, &pending] {
            const uint8_t flags = pending.flags;
            const PendingEventBatch::Extras* extras = pending.extras.get();
            logEventOnWorkerQueueWithOrigin(pending.packed.origin(), flags & kPublic, pending.packed.name(),
                                            pending.packed.parameters(), pending.packed.timestamp(),
                                            flags & kEnabled, flags & kIgnoreEnabled, flags & kIgnoreInterceptor,
                                            extras ? extras->interceptor : MSRLogEventInterceptor(),
                                            extras ? extras->addedScreenParameters : std::nullopt);
        });
        // Handled: its place goes to the next caller, whatever the rest of
        // the batch still takes.
        pending.place.release();
    }
    editingBatch_.reset();
}

void MSRMeasurement::logEventOnWorkerQueueWithOrigin(
    const std::string& origin, bool isPublicEvent, const std::string& name,
    const MSRObjectDictionary& parameters, double timestamp, bool enabled, bool ignoreEnabled,
    bool ignoreInterceptor, const MSRLogEventInterceptor& interceptor,
    const std::optional<MSRParameters>& addedScreenParameters) {
    if (!hasComponentsOnWorkerQueue() || !persistedConfig_) return;
    std::optional<MSRObjectDictionary> withDefaults;
    if (!ignoreInterceptor && name != "_err") withDefaults = parametersWithAddedDefaultEventParameters(parameters);
    const MSRObjectDictionary& effective = withDefaults ? *withDefaults : parameters;
    std::optional<MSREvent> event =
        MSREvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, effective);
    if (!event) {
        logEventHandling(1, 23219, "Attempted to log nil event. Origin, name, parameters",
                         {origin, name, describeParameters(effective)});
        return;
    }
    if (addedScreenParameters && !addedScreenParameters->empty()) {
        event->addScreenParameters(MSRObjectsFromParameters(*addedScreenParameters));
    }
    if (!(enabled || ignoreEnabled) || MSRIsAdExposureEvent(*event)) {
        logEventOnWorkerQueue(*event, false);
        return;
    }
    if (interceptor && isPublicEvent && !ignoreInterceptor) {
        // The application's interceptor decides what becomes of the event;
        // it sees the screen it was logged on, as the stored event would.
        MSRObjectDictionary merged = effective;
        if (addedScreenParameters) {
            for (const auto& [screenName, value] : *addedScreenParameters)
                merged.insert_or_assign(screenName, value);
        }
        interceptor(origin, name, merged, timestamp);
        return;
    }
    // Listeners see the event as it was logged: the handling works on its
    // own copy, and the logged one goes to the listeners.
    // An event handled inside another's handling keeps the outer one's mark.
    const bool outerWriteFailed = std::exchange(eventWriteFailed_, false);
    handleEventOnWorkerQueue(*event);
    eventWriter().notifyEventListenersOnceWritten(std::move(*event));
    eventWriteFailed_ = outerWriteFailed;
}

void MSRMeasurement::logEventOnWorkerQueue(const MSREvent& event, bool notifyEventListeners) {
    if (!notifyEventListeners) {
        handleEventOnWorkerQueue(event);
        return;
    }
    // Listeners see the event as it was logged: the handling works on its
    // own copy.
    // An event handled inside another's handling keeps the outer one's mark.
    const bool outerWriteFailed = std::exchange(eventWriteFailed_, false);
    handleEventOnWorkerQueue(event);
    eventWriter().notifyEventListenersOnceWritten(event);
    eventWriteFailed_ = outerWriteFailed;
}

void MSRMeasurement::logEvent(const std::optional<MSREvent>& event) {
    if (!event) {
        logEventHandling(4, 23048, "Attempted to log nil event");
        return;
    }
    if (!scheduler_) return;
    std::weak_ptr<MSRMeasurement> weakSelf = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("MSRMeasurement:2520", [weakSelf, event = *event] {
        if (auto self = weakSelf.lock()) self->handleEventOnWorkerQueue(event);
    });
}

bool MSRMeasurement::handleInternalEventOnWorkerQueue(const MSREvent& internalEvent) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("handleInternalEventOnWorkerQueue");
    if (!hasComponentsOnWorkerQueue() || !persistedConfig_) return false;
    MSREvent event = internalEvent;
    if (event.name() != "_err") {
        if (auto defaults = persistedConfig_->defaultEventParameters(); defaults && !defaults->empty()) {
            event.applyParameters(objectsFromDictionary(*defaults));
        }
    }
    const bool outerWriteFailed = std::exchange(eventWriteFailed_, false);
    handleEventOnWorkerQueue(event);
    const bool written = !eventWriteFailed_;
    eventWriter().notifyEventListenersOnceWritten(event);
    eventWriteFailed_ = outerWriteFailed;
    return written;
}

// --- Default event parameters -----------------------------------------------------

void MSRMeasurement::setDefaultEventParameters(const std::optional<MSRObjectDictionary>& parameters) {
    if (!scheduler_) return;
    onWorkerQueue("MSRMeasurement:2528", [parameters](MSRMeasurement& engine) {
        engine.handleSetDefaultEventParametersOnWorkerQueue(parameters, false);
    });
}

void MSRMeasurement::handleSetDefaultEventParametersOnWorkerQueue(
    const std::optional<MSRObjectDictionary>& parameters, bool backfillEvents) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("handleSetDefaultEventParametersOnWorkerQueue");
    if (!hasComponentsOnWorkerQueue() || !persistedConfig_) return;
    if (!isEnabled()) {
        logEventHandling(7, 23211, "Analytics is disabled. Default event parameters not updated");
        return;
    }
    // Nothing given clears every default; a dictionary changes only the
    // names it holds.
    foundation::Value::Dictionary result;
    if (parameters)
        result = persistedConfig_->defaultEventParameters().value_or(foundation::Value::Dictionary{});

    for (const auto& [name, object] : parameters.value_or(MSRObjectDictionary{})) {
        DefaultValueKind kind = defaultValueKind(object);
        if (kind == DefaultValueKind::kMissing) continue;
        if (kind == DefaultValueKind::kList || kind == DefaultValueKind::kOther) {
            if (kind == DefaultValueKind::kList) MSRLogErrorEvent(27);
            logEventHandling(4, 23213, "Invalid key in default event parameters. Parameter ignored.");
            continue;
        }
        int64_t failure = 0;
        if (!MSRDataTypeValidator::isValidPublicEventParameterName(name, &failure)) {
            logEventHandling(4, 23214, "Invalid default event parameter name. Name", {name});
            continue;
        }
        if (kind == DefaultValueKind::kNull) {
            result.erase(name);
            continue;
        }
        std::optional<MSRValue> value = MSRValue::valueFromObject(object);
        if (value && MSRDataTypeValidator::isValidPublicEventParameterValue(&*value, &failure)) {
            result.insert_or_assign(name, plainObject(object));
        }
    }

    int64_t limit = remoteConfig_->maxPublicEventParams();
    if (static_cast<int64_t>(result.size()) > limit) {
        MSRParameters typed;
        for (const auto& [name, value] : result) {
            if (auto converted = MSRValue::valueFromObject(MSRObject(value))) typed.emplace(name, *converted);
        }
        MSRTrimCustomParameters(typed, limit, false);
        std::erase_if(result, [&](const auto& entry) { return typed.count(entry.first) == 0; });
        MSRLogErrorEvent(26);
        logEventHandling(4, 23215, "Too many default event parameters set. Discarding beyond event parameter limit");
    }
    if (!backfillEvents) {
        logEventHandling(7, 23216, "Updating default event parameters. Parameters",
                         {foundation::Value(result).jsonText()});
    }
    persistedConfig_->setDefaultEventParameters(result);
}

std::optional<MSRObjectDictionary> MSRMeasurement::parametersWithAddedDefaultEventParameters(
    const MSRObjectDictionary& parameters) {
    if (!persistedConfig_) return std::nullopt;
    // Read and converted once per change of the configuration, not per event.
    DefaultParametersMemo& memo = defaultParametersMemo_;
    const uint64_t generation = persistedConfig_->generation();
    if (memo.config != persistedConfig_.get() || memo.generation != generation) {
        std::optional<foundation::Value::Dictionary> defaults = persistedConfig_->defaultEventParameters();
        memo.objects.reset();
        if (defaults && !defaults->empty()) memo.objects = objectsFromDictionary(*defaults);
        memo.config = persistedConfig_.get();
        memo.generation = generation;
    }
    if (!memo.objects) return std::nullopt;
    MSRObjectDictionary merged = *memo.objects;
    for (const auto& [name, object] : parameters) merged.insert_or_assign(name, object);
    return merged;
}

// --- The handling sequence --------------------------------------------------------

void MSRMeasurement::handleEventOnWorkerQueue(const MSREvent& loggedEvent) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue");
    if (!hasComponentsOnWorkerQueue() || !persistedConfig_) return;
    const bool sessionStart = loggedEvent.name() == "_s" && loggedEvent.origin() == "auto";
    const uint64_t handedBefore = sessionStartsHandedToStore_;
    handleEventStepsOnWorkerQueue(loggedEvent);
    if (!sessionStart || sessionStartsHandedToStore_ != handedBefore) return;
    // A rule dropped the session's "_s" (collection off, an allowlist
    // without it, the daily cap, an editing program): the session is begun
    // all the same. Counted at once, so that no later start takes a missing
    // "_s" for one a kill took and begins its session again.
    persistedConfig_->setDroppedSessionStarts(MSRNextCount(persistedConfig_->droppedSessionStarts()));
    persistedConfig_->synchronizeToDisk();
}

void MSRMeasurement::handleEventStepsOnWorkerQueue(const MSREvent& loggedEvent) {
    if (!isEnabled()) {
        logEventHandling(7, 23049, "Analytics is disabled. Event not logged");
        return;
    }
    std::optional<MSREvent> event = eventAfterSafelistingEvent(loggedEvent);
    if (!event) return;
    processSessionFromEvent(*event);
    if (!dedupeSubscriptionEvent(*event)) return;
    if (shouldDropDuplicatedSessionStartWithRolloutEvent(*event)) return;
    event = appExceptionEventWithVuzedezoFeatureRollouts(std::move(*event));
    writeSessionStartEventOnWorkerQueue(*event);
    writeEventWithEditingOnWorkerQueue(std::move(*event));
}

std::optional<MSREvent> MSRMeasurement::eventAfterSafelistingEvent(const MSREvent& event) {
    if (!safelistedEvents_ || safelistedEvents_->empty()) return event;
    const auto& allowed = *safelistedEvents_;
    if (std::find(allowed.begin(), allowed.end(), event.name()) == allowed.end()) {
        logEventHandling(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin",
                         {MSRDebugEventName(event.name()), event.origin()});
        return std::nullopt;
    }
    MSRObjectDictionary parameters = MSRObjectsFromParameters(event.parameters());
    parameters.insert_or_assign("za_safelisted", MSRValue(int64_t{1}));
    return event.copyWithParameters(parameters).value_or(event);
}

void MSRMeasurement::processSessionFromEvent(const MSREvent& event) {
    if (MSRIsAppActive()) return;
    const MSRParameters& parameters = event.parameters();
    if (auto extend = parameters.find("extend_session"); extend != parameters.end()) {
        if (extend->second.isInt64() && extend->second.int64Value() == 1) {
            if (sessionReporter_->isSessionExpired()) {
                sessionReporter_->reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
            } else {
                sessionReporter_->extendSession();
            }
        } else {
            logEventHandling(3, 23179,
                             "extend_session is a reserved parameter. To extend or start a session in the background, set "
                             "an "
                             "event parameter {@'extend_session': @1}");
        }
    }
    if (!sessionReporter_->isSessionExpired()) return;
    struct Removal {
        const char* name;
        int64_t code;
        const char* message;
    };
    static const Removal removals[] = {
        {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
        {"_sno", 23178, "Failed to remove session number user property on session expiration. Error"},
        {"_se", 23192, "Failed to remove session user engagement user property on session expiration. Error"},
    };
    database_->performTransaction([&] {
        for (const Removal& removal : removals) {
            MSRError error;
            if (!database_->deleteUserAttributeWithName(removal.name, &error)) {
                logEventHandling(2, removal.code, removal.message, {error});
                return false;
            }
        }
        return true;
    });
}

bool MSRMeasurement::dedupeSubscriptionEvent(const MSREvent& event) {
    if (!MSRIsSubscriptionEvent(event)) return true;
    const MSRParameters& parameters = event.parameters();
    auto did = parameters.find("_did");
    if (did == parameters.end() || !did->second.isInt64()) return true;
    auto productID = parameters.find("product_id");
    MSRLogContext product =
        productID == parameters.end() ? MSRLogContext() : MSRLogContext(productID->second.description());

    // The identifier and the trimming of the table go together: when the
    // trimming fails the event is dropped, and its identifier must not stay
    // behind, or the purchase would count as reported and never be sent.
    bool keep = true;
    database_->performTransaction([&] {
        MSRError error;
        std::optional<bool> isNew =
            database_->insertIfNotDuplicateSubscriptionID(std::to_string(did->second.int64Value()), &error);
        if (!isNew) {
            logEventHandling(2, 23181, "Failed to save subscription ID. Product ID, error", {product, error});
            return true;
        }
        if (!*isNew) {
            logEventHandling(4, 23182, "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
                             {product});
            keep = false;
            return true;
        }
        std::optional<int64_t> deleted = database_->deleteSubscriptionsOverLimit(&error);
        if (!deleted) {
            logEventHandling(5, 23183, "Failed to delete older subscription records. Error", {error});
            keep = false;
            return false;
        }
        if (*deleted > 0) logEventHandling(5, 23184, "Deleted older subscription records beyond limit");
        return true;
    });
    return keep;
}

bool MSRMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const MSREvent& event) {
    if (event.name() != "_ssr") return false;
    const MSRParameters& parameters = event.parameters();
    auto found = parameters.find("_ffr");
    const MSRValue* given = found == parameters.end() ? nullptr : &found->second;
    const std::string* givenText = given ? given->stringValue() : nullptr;
    std::optional<std::string> stored = persistedConfig_->vuzedezoFeatureRollouts();

    bool duplicate =
        stored ? (givenText && *givenText == *stored) : (!given || (givenText && givenText->empty()));
    if (duplicate) {
        logEventHandling(8, 23191, "Feature rollouts value is a duplicate, dropping event");
        return true;
    }
    if (givenText && !givenText->empty()) {
        persistedConfig_->setVuzedezoFeatureRollouts(*givenText);
    } else {
        persistedConfig_->setVuzedezoFeatureRollouts(std::nullopt);
        if (given && !givenText)
            logEventHandling(2, 23190, "Unable to process vuzedezo feature rollouts, value is not a string.");
    }
    return false;
}

MSREvent MSRMeasurement::appExceptionEventWithVuzedezoFeatureRollouts(MSREvent event) {
    if (event.name() != "_ae") return event;
    std::optional<std::string> rollouts = persistedConfig_->vuzedezoFeatureRollouts();
    if (!rollouts) return event;
    MSRObjectDictionary parameters = MSRObjectsFromParameters(event.parameters());
    parameters.insert_or_assign("_ffr", MSRValue(*rollouts));
    return event.copyWithParameters(parameters).value_or(event);
}

void MSRMeasurement::writeSessionStartEventOnWorkerQueue(const MSREvent& event) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("writeSessionStartEventOnWorkerQueue");
    if (event.name() != "_s") return;
    std::optional<std::string> rollouts = persistedConfig_->vuzedezoFeatureRollouts();
    if (!rollouts) return;
    std::optional<MSREvent> sessionStart = MSREvent::initWithOrigin(
        "auto", false, "_ssr", dispatch::Clock::now(), 0, {{"_ffr", MSRValue(*rollouts)}});
    if (sessionStart) eventWriter().writeEventOnWorkerQueue(*sessionStart);
}

void MSRMeasurement::applicationWillTerminate() {
    stopEventEditing();
    applicationEnds_.store(true);
}

void MSRMeasurement::scheduleOrderFreeOnWorkerQueue(std::string_view blockID, std::function<void()> block) {
    // Under the batches' lock: the end sees the place and the block together.
    std::lock_guard lock(pendingEventsMutex_);
    const uint64_t started = scheduler_->startedBlockCount();
    while (!orderFreeBlockPlaces_.empty() && orderFreeBlockPlaces_.front() <= started) orderFreeBlockPlaces_.pop_front();
    orderFreeBlockPlaces_.push_back(scheduler_->scheduleOnWorkerQueueBlockID(blockID, std::move(block)));
}

void MSRMeasurement::storeEventsHandedOverBeforeTheEnd() {
    if (!applicationEnds_.load() || editingBatch_ || !database_ || database_->isHoldingPendingWrites()) return;
    std::vector<std::shared_ptr<PendingEventBatch>> batches;
    {
        std::lock_guard lock(pendingEventsMutex_);
        // The worker runs its blocks in their places' order: those after the
        // last one begun still wait. A batch goes ahead when every block
        // waiting before it is a batch going ahead or order-free work.
        uint64_t before = scheduler_->startedBlockCount();
        while (!orderFreeBlockPlaces_.empty() && orderFreeBlockPlaces_.front() <= before) orderFreeBlockPlaces_.pop_front();
        auto orderFree = orderFreeBlockPlaces_.begin();
        for (const std::shared_ptr<PendingEventBatch>& batch : queuedEventBatches_) {
            if (batch->place <= before) break;  // placed out of order by a race: left to its turn
            uint64_t between = batch->place - before - 1;
            for (; orderFree != orderFreeBlockPlaces_.end() && *orderFree < batch->place; ++orderFree) --between;
            if (between != 0) break;
            batches.push_back(batch);
            before = batch->place;
        }
    }
    if (batches.empty()) return;
    // As their blocks would, in their order; the blocks find them empty.
    for (const std::shared_ptr<PendingEventBatch>& batch : batches) logPendingEventsOnWorkerQueue(*batch);
    // On disk before the work they went ahead of begins.
    database_->commitPendingWrites();
}

void MSRMeasurement::stopEventEditing() {
    editingEndsAt_.store(dispatch::Clock::uptimeNow() + kEditingSecondsAtTheEnd);
    // The run under way, too: it may hold the worker far longer.
    if (std::shared_ptr<MSRPEventEditing> editing = remoteConfig()->eventEditing())
        editing->stopRunsWithin(kEditingSecondsAtTheEnd);
}

bool MSRMeasurement::mayEditEventOnWorkerQueue(const MSREvent& event) {
    const char* reason = nullptr;
    bool* logged = nullptr;
    if (dispatch::Clock::uptimeNow() >= editingEndsAt_.load()) {
        reason = "application end";
        logged = &editingEndLogged_;
    } else if (editingBatch_ && editingBatch_->seconds >= editingSecondsPerBatch.load()) {
        reason = "time per batch";
        logged = &editingBatch_->failureLogged;
    } else {
        return true;
    }
    if (!std::exchange(*logged, true))
        logEventHandling(1, 23223, "Event editing failed. Event name", {MSRDebugEventName(event.name()), MSRLogContext(reason)});
    return false;
}

void MSRMeasurement::writeEventWithEditingOnWorkerQueue(MSREvent event) {
    std::shared_ptr<MSRPEventEditing> editing = remoteConfig_->eventEditing();
    if (editing && !mayEditEventOnWorkerQueue(event)) editing = nullptr;
    MSRError error;
    const double batchBound = editingSecondsPerBatch.load();
    if (editing) {
        const double endsAt = editingEndsAt_.load();
        const double began = dispatch::Clock::uptimeNow();
        // An editor loaded after the end began has not heard of it.
        if (endsAt != std::numeric_limits<double>::infinity()) editing->stopRunsWithin(endsAt - began);
        // Nor may it run past the time its batch has left: the events of
        // the batch behind it are stored unedited from then on.
        if (editingBatch_) editing->limitNextRun(batchBound - editingBatch_->seconds);
        editing->handleEvent(event.editEvent(), &error);
        if (editingBatch_) editingBatch_->seconds += dispatch::Clock::uptimeNow() - began;
    }
    if (editing && errorIsSet(error)) {
        eventWriter().writeEventOnWorkerQueue(event);
        std::vector<MSRLogContext> contexts{MSRDebugEventName(event.name()), MSRLogContext(error)};
        // A program stopped by one of its bounds says which; the batch's
        // bound is the one that stopped it once the batch's time is spent.
        if (std::string reason = editing->failureReason(); !reason.empty()) {
            if (reason == "time limit" && editingBatch_ && editingBatch_->seconds >= batchBound)
                reason = "time per batch";
            contexts.emplace_back(reason);
        }
        logEventHandling(1, 23223, "Event editing failed. Event name", contexts);
        // The event was written all the same, so the upload must hear of it
        // like any other.
        eventWriter().updateScheduleOnceWritten();
        return;
    }

    if (editing && editing->hasEdits()) {
        const std::optional<MSRPEvent>& output = editing->eventContext().outputEvent;
        if (output) {
            if (auto edited = MSREvent::eventFromEditEvent(*output)) event = std::move(*edited);
        }
    }
    // Named before the event is handed over: the line says whose created
    // events were refused.
    std::optional<std::string> refusedFor;
    if (editing && editing->refusedEventCount() > 0) refusedFor = MSRDebugEventName(event.name());
    eventWriter().writeEventOnWorkerQueue(std::move(event));
    if (refusedFor) {
        logEventHandling(4, 23297, "Event editing created too many events. Event name, refused",
                         {*refusedFor, MSRLogContext(editing->refusedEventCount())});
    }
    if (editing && editing->hasCreatedEvents()) {
        // Copied: writing may run the program again through a nested event.
        std::vector<MSRPEvent> created = editing->eventContext().eventsToLog;
        // The errors of created events are written as they are, not handed
        // to the program again: else a program that creates invalid events
        // would be fed one error event per created event, creating more.
        MSRErrorEventCapture errors;
        for (const MSRPEvent& createdEvent : created) {
            MSRObjectDictionary parameters = objectsFromDictionary(createdEvent.parameters());
            std::string origin = "app";
            if (auto o = createdEvent.parameters().find("_o");
                o != createdEvent.parameters().end() && o->second.string()) {
                origin = *o->second.string();
            }
            std::optional<MSREvent> made = MSREvent::initWithOrigin(origin, false, createdEvent.name(),
                                                                    createdEvent.timestamp(), 0, parameters);
            if (made) eventWriter().writeEventOnWorkerQueue(*made);
        }
        writeCapturedErrorEventsOnWorkerQueue(errors.take());
    }
    eventWriter().updateScheduleOnceWritten();
}

void MSRMeasurement::writeCapturedErrorEventsOnWorkerQueue(std::vector<MSRParameters> errors) {
    for (const MSRParameters& parameters : errors) {
        std::optional<MSREvent> error = MSREvent::initWithOrigin("auto", false, "_err", dispatch::Clock::now(), 0,
                                                                 MSRObjectsFromParameters(parameters));
        if (error) eventWriter().writeEventOnWorkerQueue(*error);
    }
}
