#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The public analytics interface of the application.
//
// For now an event is handed to an installable sink; the measurement engine
// installs itself there when it starts. Without a sink the event is dropped.
class DEDIzurarove {
public:
    using Parameters = foundation::Value::Dictionary;
    using EventSink = std::function<void(const std::string& name, const std::optional<Parameters>& parameters)>;

    DEDIzurarove() = delete;

    // Hands the event on and returns at once; nothing reaches the caller.
    static void logEventWithName(const std::string& name, const std::optional<Parameters>& parameters = std::nullopt);

    // Installs the receiver of logged events (null: none). Returns the previous one.
    static EventSink setEventSink(EventSink sink);
};
