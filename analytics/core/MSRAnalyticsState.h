#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/model/MSREvent.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/dispatch/OperationGate.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Value.h"

// What the facade (MSRAnalytics) and the measurement engine share: the
// analytics suite of stored preferences (consent, reset and deferred
// collection), the load timestamp, the operation queue through which work
// reaches the facade's serial queue, and the log-event listeners. It sits
// below both, so the engine reads and writes this state without calling the
// facade; the facade derives from it and keeps its names.
class MSRAnalyticsState {
public:
    using Block = std::function<void()>;
    using LogEventListener = std::function<void(const MSREvent&)>;
    using ListenerToken = uint64_t;

    static constexpr const char* kSerialQueueLabel = "MSRAnalyticsQueue";
    static constexpr const char* kOperationQueueName = "MSRAnalyticsOperationQueue";
    static constexpr const char* kSuiteName = "MSRAnalyticsSuiteName";

    MSRAnalyticsState() = delete;

    // ---- queues ----
    static std::shared_ptr<dispatch::SerialQueue> queue();
    static void dispatchAsyncOnSerialQueue(Block block);
    // Held until the facade has started the engine, then released in order.
    static std::shared_ptr<dispatch::OperationGate> gate();
    static void queueOperationWithBlock(Block block);

    static double loadTimestamp();
    static void setLoadTimestamp(double timestamp);

    // ---- log-event listeners ----
    static ListenerToken nextListenerToken();
    static void setEventListener(ListenerToken token, LogEventListener listener);
    enum class ListenerRemoval { removed, noListeners, unknownToken };
    static ListenerRemoval removeEventListener(ListenerToken token);
    static void notifyEventListeners(const MSREvent& event);
    // The events in order, in one visit of the operation queue.
    static void notifyEventListeners(std::vector<MSREvent> events);
    static void notifyEventListenersOnSerialQueue(const MSREvent& event);
    static std::vector<LogEventListener> currentEventListeners();

    // ---- the analytics suite ----
    static std::shared_ptr<MSRUserDefaults> suite();
    static std::optional<foundation::Value::Dictionary> suiteDictionary(const char* key);
    static int64_t resetRetryCount();
    static void setResetRetryCount(int64_t count);
    static bool needFirstOpenAfterReset();
    static void setNeedFirstOpenAfterReset(bool need);
    static void removeNeedFirstOpenAfterReset();
    static std::optional<std::string> appInstanceIDAfterReset();
    static void setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID);
    static foundation::Value deferredAnalyticsCollection();
    static void setDeferredAnalyticsCollection(const foundation::Value& value);
    static std::optional<foundation::Value::Dictionary> consentSettings1P();
    static std::optional<foundation::Value::Dictionary> consentSettings3P();
    static std::optional<foundation::Value::Dictionary> consentSettingsTCF();
    static std::optional<foundation::Value::Dictionary> consentSettings1PStart();
    static void removeStartUpConsentSettings();
    static foundation::Value deferredResetOnDeniedConsent();
    static void removeDeferredResetOnDeniedConsent();
    static void persistConsentSettings(const foundation::Value::Dictionary& settings, int64_t source);
    static int64_t persistedConsentSource();
    // Forgets every stored consent and the consent in memory.
    static void clearConsent();

    // ---- consent of this run ----
    // The application's consent calls and the engine start's choice among
    // the settings an earlier run left take turns. A call accepted before
    // the choice is remembered, with the consent the earlier run left as
    // that first call found it; the choice is then made from that consent
    // and the calls are applied again after it. Whichever comes first, the
    // outcome is that of the choice first and the calls after it: what the
    // start does about an earlier run never undoes a call of this one.
    struct ConsentCall {
        foundation::Value::Dictionary settings;
        int64_t source = 0;
    };
    using ConsentTurn = std::unique_lock<std::mutex>;
    static ConsentTurn consentTurn();
    // Within a turn: `call` is accepted and about to change the consent.
    static void noteConsentCall(const ConsentTurn& turn, const ConsentCall& call);
    // Within a turn, once per process: false when the choice was made
    // already. Otherwise puts back the consent the earlier run left, when
    // calls came before, and hands those calls over, in their order.
    static bool beginStartConsentChoice(const ConsentTurn& turn, std::vector<ConsentCall>* callsBefore);

    // The operation queue held again, no listeners, the load timestamp now,
    // the start's consent choice still to make. Stored preferences are kept.
    static void resetForTesting();
};
