#include "analytics/interpreter/MSRPHostModules.h"

#include <cmath>

#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPNativeFunctionValue.h"
#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"

namespace {

using Arguments = std::span<const MSRPValue>;

MSRPValue keyValueStore(std::shared_ptr<MSRPKeyValueStore> store) {
    // Calling the module itself evaluates its arguments and answers undefined.
    auto module = MSRPNativeFunctionValue::make(store->functionName(),
                                                [](MSRPExecution&, Arguments) { return MSRPValue(); });
    module->addMember("getValue", [store](MSRPExecution& execution, Arguments arguments) {
        if (!MSRPCheckArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
        MSRPText key = arguments[0].stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        // The host reads its own copy of the key, charged as it is made.
        if (!execution.chargeConversion(key.size())) return MSRPValue();
        if (std::optional<std::string> text = store->valueForKey(key.str())) {
            if (!execution.chargeConversion(text->size()) || !execution.reserve(static_cast<int64_t>(text->size())))
                return MSRPValue();
            return MSRPValue::string(*text);
        }
        return arguments[1];
    });
    return MSRPValue(module);
}

MSRPValue objectProvider(std::shared_ptr<MSRPObjectProvider> provider) {
    return MSRPValue(MSRPNativeFunctionValue::make(
        provider->name(),
        [provider](MSRPExecution& execution, Arguments) {
            return MSRPRuntimeEntityConverter::runtimeValueFromObject(foundation::Value(provider->object()),
                                                                      execution.objectManager, execution.errorSlot());
        },
        false));
}

// A log text of at most kMaxLogTextBytes, cut at a character boundary with
// "..." after it; a long text is never copied whole.
std::string logText(const MSRPValue& value, int* error) {
    auto cut = [](std::string_view text) {
        if (text.size() <= MSRPLogBounds::kMaxLogTextBytes) return std::string(text);
        size_t end = MSRPLogBounds::kMaxLogTextBytes;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        return std::string(text.substr(0, end)) + "...";
    };
    return cut(value.stringValueOrError(error));
}

MSRPNativeFunctionValue::Body logBody(std::shared_ptr<MSRPicoLogger> logger, bool silent, bool monitored) {
    return [logger, silent, monitored](MSRPExecution& execution, Arguments arguments) {
        if (!MSRPCheckMinimumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
        int* error = execution.errorSlot();
        int64_t level = 4;
        std::string message;
        std::vector<std::string> context;
        if (arguments.size() == 1) {
            message = logText(arguments[0], error);
        } else {
            double number = arguments[0].doubleValueOrError(error);
            level = std::isfinite(number) && std::fabs(number) < 1e18 ? static_cast<int64_t>(number) : 4;
            message = logText(arguments[1], error);
            for (size_t i = 2; i < arguments.size() && i < 5; ++i) context.push_back(logText(arguments[i], error));
        }
        if (execution.failed()) return MSRPValue();
        // A program that logs in a loop writes a bounded number of lines per
        // event; one line says that the rest were dropped.
        const int64_t call = ++execution.logCalls;
        if (call > MSRPLogBounds::kMaxLogCallsPerRun + 1) return MSRPValue();
        if (call == MSRPLogBounds::kMaxLogCallsPerRun + 1) {
            level = 4;
            message = "Further log lines of this event dropped";
            context.clear();
        }
        if (logger) logger->logWithLevel(level, message, context, silent, monitored);
        return MSRPValue();
    };
}

MSRPValue messageLogger(std::shared_ptr<MSRPMessageLogger> module) {
    std::shared_ptr<MSRPicoLogger> logger = module->logger();
    auto none = [](MSRPExecution&, Arguments) { return MSRPValue(); };
    auto root = MSRPNativeFunctionValue::make("internal.logger", none, false);
    root->addMember("log", logBody(logger, false, true));
    auto silent = MSRPNativeFunctionValue::make("silent", none, false);
    silent->addMember("log", logBody(logger, true, true));
    auto unmonitored = MSRPNativeFunctionValue::make("unmonitored", none, false);
    unmonitored->addMember("log", logBody(logger, false, false));
    root->setValue(MSRPValue(silent), "silent");
    root->setValue(MSRPValue(unmonitored), "unmonitored");
    return MSRPValue(root);
}

}  // namespace

MSRPValue MSRPRuntimeValueForHostModule(const std::shared_ptr<MSRPModule>& module) {
    if (auto store = std::dynamic_pointer_cast<MSRPKeyValueStore>(module)) return keyValueStore(std::move(store));
    if (auto provider = std::dynamic_pointer_cast<MSRPObjectProvider>(module)) return objectProvider(std::move(provider));
    if (auto logger = std::dynamic_pointer_cast<MSRPMessageLogger>(module)) return messageLogger(std::move(logger));
    return MSRPValue();
}

MSRPValue MSRPMakePlatformModule() {
    auto module = MSRPNativeFunctionValue::make(
        "internal.platform", [](MSRPExecution&, Arguments) { return MSRPValue(); }, false);
    module->addMember(
        "getVersion",
        [](MSRPExecution&, Arguments) { return MSRPValue::number(static_cast<double>(MSRPRuntime::runtimeVersion())); },
        false);
    return MSRPValue(module);
}
