#pragma once
// Events never fail because of one bad parameter: the parameters are cleaned
// instead. Values become MSRValue, parameters whose name or value is refused
// are dropped, ecommerce item lists are cleaned, custom parameters are cut to
// the settings' limit, and the first problem is recorded in the parameters
// themselves as "_err" (error code), "_ev" (the offending name) and "_el"
// (the offending length). A dictionary carries at most one such record.

#include "analytics/model/MSRValue.h"
#include "analytics/messages/MSRPBFlatEvent.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

// The cleaned parameters, or nothing when `parameters` is empty. `eventName`
// is nothing for default parameters; `isNested` marks one item of a list.
std::optional<MSRParameters> MSRCleanEventParameters(const MSRObjectDictionary& parameters,
                                                     std::optional<std::string_view> eventName, bool isPublic,
                                                     bool isNested);
// False only when MSRCleanEventParameters(parameters, eventName, false, false)
// would hand back exactly `parameters`: typed values read back from storage
// that were cleaned when the event was made. True when cleaning may change
// them (a name outside plain ASCII letters, digits and underscores, a text
// longer than a limit, too many custom parameters), or cannot be sure.
bool MSRStoredParametersNeedCleaning(const MSRParameters& parameters, std::string_view eventName);
// The settings that the answer depends on, read once for a run of events.
struct MSRStoredParameterLimits {
    int64_t maxInternalValueLength = 0;
    int64_t maxPublicEventParams = 0;
};
MSRStoredParameterLimits MSRCurrentStoredParameterLimits();
// The same answer for parameters as they stand in the stored bytes; the
// origin ("_o") among them is skipped, as reading takes it out.
bool MSRFlatParametersNeedCleaning(std::span<const MSRPBFlatEventParam> parameters, std::string_view eventName,
                                   const MSRStoredParameterLimits& limits);
std::optional<MSRParameters> MSRCleanDefaultEventParameters(const MSRObjectDictionary& parameters,
                                                            bool isPublic);
// The list value of the items that survive cleaning, or nothing when the list
// is refused; the list check's failure code goes through `failureCode`.
std::optional<MSRValue> MSRCleanArrayParameter(const foundation::Value::List& list,
                                               std::string_view paramName,
                                               std::optional<std::string_view> eventName,
                                               MSRParameters& errorParameters, bool isNested, bool isPublic,
                                               int64_t* failureCode);

// Removes custom parameters, the alphabetically last first, until at most
// `limit` are left. In item mode standard item parameters are not custom.
void MSRTrimCustomParameters(MSRParameters& parameters, int64_t limit, bool itemMode);
int64_t MSRCountCustomParameters(const MSRParameters& parameters, bool itemMode);
bool MSRCheckEventParameterName(std::string_view name, bool isPublic, MSRParameters& errorParameters);
// True without "value", or with a numeric "value" and a valid "currency";
// otherwise "value" is removed and the error recorded.
bool MSRCheckConversionValue(MSRParameters& parameters);

void MSRSetErrorValueParameters(MSRParameters& parameters, std::optional<std::string_view> name,
                                int64_t maxLength, const MSRValue* value);
void MSRSetErrorCodeIfAbsent(MSRParameters& parameters, int64_t code);
void MSRSetErrorParameters(MSRParameters& parameters, int64_t code, std::optional<std::string_view> name,
                           int64_t maxLength, const MSRValue* value);
void MSRSetArrayParamError(MSRParameters& parameters, int64_t arrayFailureCode, std::string_view paramName,
                           std::optional<std::string_view> eventName);

// The parameters of an internal "_err" event; nothing for code 0.
std::optional<MSRParameters> MSRErrorEventParameters(int64_t code, std::optional<std::string_view> name,
                                                     int64_t maxLength, const MSRValue* value);
// Where "_err" events go: the facade's internal logging (origin, name,
// parameters). Until one is installed the events are dropped.
using MSRInternalEventLogger =
    std::function<void(const std::string& origin, const std::string& name, const MSRParameters&)>;
void MSRSetInternalEventLogger(MSRInternalEventLogger logger);
void MSRLogErrorEvent(int64_t code);
// While one lives on a thread, the "_err" events reported on that thread are
// kept in it (at most kMaxCaptured) instead of going to the internal logger,
// for its owner to write as it sees fit: the measurement core writes those of
// the events a program created without running them through the program.
class MSRErrorEventCapture {
  public:
    static constexpr size_t kMaxCaptured = 100;
    MSRErrorEventCapture();
    ~MSRErrorEventCapture();
    MSRErrorEventCapture(const MSRErrorEventCapture&) = delete;
    MSRErrorEventCapture& operator=(const MSRErrorEventCapture&) = delete;

    void capture(MSRParameters parameters);
    std::vector<MSRParameters> take() { return std::move(captured_); }

  private:
    MSRErrorEventCapture* previous_;
    std::vector<MSRParameters> captured_;
};
void MSRLogErrorEventWithValue(int64_t code, std::optional<std::string_view> name, int64_t maxLength,
                               const MSRValue* value);

bool MSRHasScreenParameters(const MSRParameters& parameters);
MSRParameters MSRExtractScreenParameters(const MSRParameters& parameters);
