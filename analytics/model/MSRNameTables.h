#pragma once
// The engine's fixed name tables: the public names of internal events,
// parameters and user properties with their short internal forms, the names
// of the error codes, the ecommerce lists, and the formatting of internal
// names for debug logs. Tables are built once, on first use, and shared.

#include "analytics/model/MSRValue.h"
#include "analytics/support/MSRLogContext.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

using MSRNameMap = std::map<std::string, std::string, std::less<>>;

// Public event name -> internal short name.
const MSRNameMap& MSRInternalEventNameMap();
// Internal short name -> public event name ("_cmp" -> "za_campaign").
const MSRNameMap& MSRPublicEventNameMap();
// The one reserved public event name that applications may log.
const MSRNameMap& MSRAllowedReservedEventNameMap();
const MSRNameMap& MSRInternalParameterNameMap();
const MSRNameMap& MSRReservedUserPropertyNameMap();
const std::map<int64_t, std::string>& MSRErrorCodeNameMap();

bool MSRIsEcommerceEventName(std::string_view name);
bool MSRIsItemParameterName(std::string_view name);
bool MSRIsDefaultConversionEventName(std::string_view name);
// Non-empty and not starting with "_" (an empty name is logged).
bool MSRIsPublicName(std::string_view name);
// The name is "_err" (an empty name is logged and answers false).
bool MSRIsErrorEventName(std::string_view name);
// Default event parameters go on every event but "_err".
bool MSRIsNotErrorEventName(std::string_view name);

// Names for log lines: with the monitor's debug mode on, an internal name
// shows its public name too ("screen_view (_vs)"); otherwise it is unchanged.
std::string MSRDebugEventName(std::string_view name);
std::string MSRDebugParameterName(std::string_view name);
std::string MSRDebugUserPropertyName(std::string_view name);
// Multi-line forms of parameters and item lists for debug logs; the plain
// description when debug mode is off. Names and values in them come from
// outside and are escaped; the layout's own line breaks stay.
MSRFormattedText MSRDebugParameters(const MSRParameters& parameters, std::string_view indent);
MSRFormattedText MSRDebugArray(const MSRValueList& items);
