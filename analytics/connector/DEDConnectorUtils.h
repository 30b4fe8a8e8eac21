#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// The fixed allow- and block-lists that decide what another framework of the
// host may do through the connector.
class DEDConnectorUtils {
public:
    static bool isOriginAllowed(std::string_view origin);
    // "app", or "app+" followed by more.
    static bool isAppOrigin(std::string_view origin);
    static bool isListenerOriginAllowed(std::string_view origin);
    static bool isEventNameAllowedForListeners(std::string_view name);
    static bool shouldLogEventWithName(std::string_view name, const foundation::Value::Dictionary& parameters);
    static bool isUserPropertyAllowed(std::string_view name, std::string_view origin);
    static bool isUserPropertyAllowedForQuery(std::string_view name);
};
