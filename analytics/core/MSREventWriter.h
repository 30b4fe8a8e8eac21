#pragma once

// The engine's event writing: daily caps and real-time marks, the event and
// its raw-event metadata written in one transaction, lifetime value, and what
// follows a commit (listeners, the upload schedule). It works on the engine's
// state; its operations are the engine's (MSRMeasurementRoad.h).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "analytics/core/MSRMeasurementRoad.h"
#include "analytics/core/MSRRawEventMetadataInputs.h"
#include "analytics/support/MSRError.h"

class MSREventWriter : public MSRMeasurementRoad {
public:
    using MSRMeasurementRoad::MSRMeasurementRoad;

    // The event is taken, not copied: the caller moves it in where it can.
    void writeEventOnWorkerQueue(MSREvent event);
    // Only inside writeTogetherOnWorkerQueue, whose commit applies what the
    // event leaves to persist.
    void writeFilteredEventOnWorkerQueue(MSREvent event);
    // Runs `block`, whose writes (grouped transactions and events) commit
    // together after it or not at all. Inside another such block it only
    // runs it.
    void writeTogetherOnWorkerQueue(const std::function<void()>& block);
    bool shouldProcessEvent(const MSREvent& event, MSRDailyCounts& counts, bool isPublicEvent);
    bool isRealtimeEvent(MSREvent& event, MSRDailyCounts& counts);
    // The metadata last built, what it was built from, and its encoding:
    // built and encoded again only when what it holds changes.
    struct Metadata {
        MSRRawEventMetadataInputs inputs;
        std::optional<std::vector<uint8_t>> campaign;
        MSRPBMeasurementBundle message;
        std::vector<uint8_t> encoded;
    };
    // What an event's write read before its transaction (see prepareWrite).
    struct PreparedWrite {
        std::shared_ptr<const Metadata> metadata;
        int64_t fingerprint = 0;
    };
    bool writeEvent(MSREvent& event, bool isPublicEvent, bool isRealtime, const PreparedWrite* prepared = nullptr);
    // False ends the event's transaction with a rollback.
    bool updateLifetimeValueWithEvent(const MSREvent& event);
    void maybeAddDebugAndRealtimeParameters(MSREvent& event);
    std::optional<MSRPBAdCampaignInfo> adCampaignInfoFromEvent(const MSREvent& event);
    void logFirstOpenConsentedEvent(double timestamp);
    // The number of first opens on this device before this installation, as
    // decimal text in the keychain (it survives reinstallation).
    std::optional<std::string> previousFirstOpenCount();
    void setPreviousFirstOpenCount(const std::optional<std::string>& count);

    // The upload schedule after written events: worked out once the queued
    // commit has run.
    void updateScheduleOnceWritten();
    // Listeners hear of events once their writes have committed.
    void notifyEventListenersOnceWritten(const MSREvent& event);
    void notifyEventListenersOnceWritten(MSREvent&& event);

private:
    void keepForListenersUntilCommit(MSREvent&& event);
    // The persisted values of the event's transaction (the engine's
    // pendingEventWrites_), applied only once it commits.
    bool hasPendingEventWrites() const;
    void applyPendingEventWrites();
    // Queues the commit of the writes waiting in the database's group behind
    // the work on the worker (once per group).
    void commitWritesBehindQueuedWork();
    // The installation's day index now (midnight offset applied).
    int32_t currentDayIndex();
    std::optional<PreparedWrite> prepareWrite(const MSREvent& event);
    std::shared_ptr<const Metadata> metadataForEvent(MSRError* error);
    std::shared_ptr<const Metadata> lastMetadata_;
    // What tells, at the cost of a few loads, that the inputs of the last
    // metadata are unchanged: the change counts of everything it is read
    // from, and the few inputs that change with time or the environment.
    struct MetadataStamp {
        const void* database = nullptr;
        const void* identity = nullptr;
        const void* remoteConfig = nullptr;
        const void* persistedConfig = nullptr;
        uint64_t attributes = 0;
        uint64_t identityAnswers = 0;
        uint64_t remoteConfigGeneration = 0;
        uint64_t persistedConfigGeneration = 0;
        uint64_t consent = 0;
        bool sessionExpired = false;
        int32_t timeZoneOffsetMinutes = 0;
        std::optional<std::string> language;
        bool operator==(const MetadataStamp&) const = default;
    };
    MetadataStamp metadataStamp();
    std::optional<MetadataStamp> lastStamp_;
    bool storeEvent(MSREvent& event, bool isRealtime, const MSRPBMeasurementBundle& metadata, int64_t fingerprint);
};
