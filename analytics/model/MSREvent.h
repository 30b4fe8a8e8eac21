#pragma once

#include "analytics/model/MSRPEvent.h"
#include "analytics/model/MSRValue.h"
#include "analytics/messages/MSRPBMessages.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An event with its origin ("app", "auto", ...), its public or internal
// name, its time and the time of its previous occurrence (seconds since 1970,
// 0 when there is none) and its parameters. The engine's flags live among the
// parameters: "_o" origin, "_c" conversion, "_r" realtime, "_dbg" debug,
// "_err"/"_ev"/"_el" the first problem found, "_si"/"_sc"/"_sn" the screen.
//
// Every event is built through initWithOrigin, so its parameters are always
// cleaned and typed.
class MSREvent {
  public:
    // Nothing when the origin or name is refused, or when a time is not a
    // finite number (times may come from server programs). `isPublic` picks
    // the stricter checks of the application's public interface.
    static std::optional<MSREvent> initWithOrigin(std::string_view origin, bool isPublic,
                                                  std::string_view name, double timestamp,
                                                  double previousTimestamp,
                                                  const MSRObjectDictionary& parameters);
    // An event read back from storage: as initWithOrigin of an internal
    // event, but the typed parameters are taken over as they are unless
    // cleaning them again could change them (MSRStoredParametersNeedCleaning).
    static std::optional<MSREvent> initWithStoredParameters(std::string_view origin, std::string_view name,
                                                            double timestamp, double previousTimestamp,
                                                            MSRParameters parameters);
    // Whether initWithStoredParameters makes an event of these fields; logs
    // what making it logs. Lets stored events that are never made into
    // objects be checked as if they were.
    static bool acceptsStoredFields(std::string_view origin, std::string_view name, double timestamp,
                                    double previousTimestamp);
    // Whether copyWithPreviousTimestamp of an event with this name and time
    // takes `previousTimestamp`; logs what the copy logs.
    static bool acceptsPreviousTimestamp(std::string_view name, double timestamp, double previousTimestamp);
    // From the wire form; nothing when "_o" is missing or not a text.
    static std::optional<MSREvent> initWithEventProto(const MSRPBEvent& proto);
    // From the interpreter's event: the public name mapped to its internal
    // form, the origin taken from "_o" when it is text, else "app".
    static std::optional<MSREvent> eventFromEditEvent(const MSRPEvent& editEvent);

    // Keeps the parameters as they are (they were cleaned when the event was
    // made); nothing when the new time is not a finite number.
    std::optional<MSREvent> copyWithPreviousTimestamp(double previousTimestamp) const;
    // Copies pass the cleaning again, as internal events.
    std::optional<MSREvent> copyWithParameters(const MSRObjectDictionary& parameters) const;
    std::optional<MSREvent> copy() const;

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    double timestamp() const { return timestamp_; }
    double previousTimestamp() const { return previousTimestamp_; }
    const MSRParameters& parameters() const { return parameters_; }
    MSRParameters& parameters() { return parameters_; }

    bool isConversion() const;
    // Marks the event as a conversion only when its "value" passes the
    // conversion check; unmarking records "_err" 10 unless an error is there.
    void setConversion(bool conversion);
    bool isRealtime() const;
    void setRealtime(bool realtime);
    bool isDebug() const;
    void setDebug(bool debug);
    // Conversions and ad impressions have their "value" checked.
    bool shouldValidateParams() const;

    // Lays the event's parameters over the cleaned default parameters: the
    // event's own value wins.
    void applyParameters(const MSRObjectDictionary& defaultParameters);
    // Adds "_si" and, when given, "_sc" and "_sn" unless the event already
    // names a screen. True when they were added.
    bool addScreenParameters(const MSRObjectDictionary& screenParameters);

    MSRPEvent editEvent() const;
    MSRPBEvent protoEvent() const;
    // protoEvent's wire bytes without the name (which is stored beside them),
    // written straight from the parameters: every stored event is encoded
    // so, and building the message first costs a node per parameter.
    std::vector<uint8_t> encodedWithoutName() const;

  private:
    MSREvent() = default;
    // The checks of origin, name and times that every made event passes; an
    // event without parameters when they hold.
    static std::optional<MSREvent> withCheckedFields(std::string_view origin, bool isPublic, std::string_view name,
                                                     double timestamp, double previousTimestamp);
    // The origin parameter and the conversion value check over the cleaned parameters.
    void finishParameters();

    MSRParameters parameters_;
    std::string origin_;
    std::string name_;
    double timestamp_ = 0;
    double previousTimestamp_ = 0;
};

// The number of items in the event's list parameters.
int64_t MSRCountArrayItems(const MSREvent& event);
// The event's name is "_err" (an empty name is logged and answers false).
bool MSRIsErrorEvent(const MSREvent& event);
bool MSRIsSubscriptionEvent(const MSREvent& event);
