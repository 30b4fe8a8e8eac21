#include "tools/eventdriver/EngineDriver.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "analytics/audience/MSRAudienceEvaluator.h"
#include "analytics/connector/DEDIzuraroveConnector.h"
#include "analytics/connector/MSRConnector.h"
#include "analytics/core/DEDIzurarove.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSREventEditingRegistration.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/reporters/MSREManagerImpl.h"
#include "analytics/reporters/MSRInAppPurchaseTransactionReporter.h"
#include "analytics/reporters/MSRReporters.h"
#include "analytics/reporters/MSRStoredFileBounds.h"
#include "analytics/support/MSRConsoleLogger.h"
#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/foundation/DataRootLock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/host/DEDApp.h"
#include "platform/host/DEDComponent.h"
#include "platform/store/PaymentQueue.h"
#include "platform/store/ProductsRequest.h"

namespace tools {

EngineDriver::EngineDriver(EngineDriverOptions options) : options_(std::move(options)) {}

void EngineDriver::watchNumberedEvents(std::function<void(const std::string&, int64_t)> handled) {
    DEDIzurarove::addLogEventListener([handled = std::move(handled)](const MSREvent& event) {
        if (event.name() != kNumberedEventName && event.name() != kMarkerEventName) return;
        auto number = event.parameters().find(kNumberParameter);
        if (number != event.parameters().end() && number->second.isInt64()) {
            handled(event.name(), number->second.int64Value());
        }
    });
}

std::optional<std::string> EngineDriver::start() {
    std::filesystem::create_directories(options_.home);
    if (auto refused = foundation::DataRootLock::acquire(options_.home)) return refused->message;
    foundation::FileSystem::setHome(options_.home);

    // The console is the one place the engine reports its failures; keep its
    // lines beside the data so that a failed run can be read afterwards.
    if (options_.consoleLog.empty()) {
        MSRConsoleLogger::shared().setSink([](const std::string&) {});
    } else {
        auto file = std::make_shared<std::ofstream>(options_.consoleLog, std::ios::app);
        auto mutex = std::make_shared<std::mutex>();
        MSRConsoleLogger::shared().setSink([file, mutex](const std::string& line) {
            std::lock_guard lock(*mutex);
            *file << line << '\n';
            file->flush();
        });
    }
    MSRRemoteConfig::setMeasurementURL(options_.measurementURL);

    host::DEDOptions options;
    options.appID = options_.appID;
    options.bundleID = "app.calvaro.e2e";
    // The store keeps unfinished purchases beside the data, across launches.
    store::PaymentQueue::defaultQueue().setPersistencePath(options_.home / "store" / "payment-queue");
    if (!options_.storeProduct.empty()) {
        store::Product product;
        product.productIdentifier = options_.storeProduct;
        product.price = "0.99";
        product.currencyCode = "USD";
        store::ProductCatalog::addProduct(product);
    }
    // As the application does: its files read within their bounds.
    MSRStateStoredFileBounds();
    MSRRegisterConnector();
    MSRRegisterAudience();
    // As the application does: the engine with its experiments.
    MSRRegisterExperiments();
    MSRRegisterPurchaseReporting();
    if (options_.sessions) MSRRegisterReporters();
    MSRRegisterEventEditing();
    if (options_.programTimeLimitSeconds > 0) {
        const auto limit = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(options_.programTimeLimitSeconds));
        MSRComponentRegistry::registerMaker<MSRPEventEditing>(
            [limit](const MSRComponentContext&) -> std::shared_ptr<MSRPEventEditing> {
                auto editing = std::make_shared<MSRPInterpreterEventEditing>();
                editing->runtime().setTimeLimit(limit);
                return editing;
            });
    }
    if (!options_.allowlist.empty()) {
        // A host that passes an allowlist starts the engine with it; the
        // interface's own registration below is then ignored.
        foundation::Value::List names;
        for (const std::string& name : options_.allowlist) names.emplace_back(name);
        host::DEDComponent::registerComponent("DEDIzurarove", [names](const host::DEDApp& app) {
            MSRAnalytics::Options start;
            start[MSRAnalytics::kCollectionDeactivatedKey] = app.options().isAnalyticsCollectionDeactivated;
            start[MSRAnalytics::kCollectionEnabledKey] = app.options().isAnalyticsCollectionEnabled;
            start[MSRAnalytics::kLogTagKey] = host::kDEDLoggerAnalytics;
            start[MSRAnalytics::kSafelistedEventsKey] = names;
            MSRAnalytics::startWithAppID(app.options().appID, "da", start, nullptr);
        });
    }
    DEDIzurarove::registerWithHost();
    // The health data goes to the suite the application writes it to; the
    // switches stay in memory, so that one run's debug mode ends with it.
    MSRMonitorEnvironment environment;
    environment.monitorSuite = MSRMonitor::productionEnvironment().monitorSuite;
    if (options_.debugMode) environment.launchArguments.push_back("-DEDIzuraroveDebugEnabled");
    MSRMonitor::setShared(MSRMonitor::initWithLibraryVersion(kMSRLibraryVersion, std::move(environment)));
    if (options_.beforeStart) options_.beforeStart();
    host::DEDApp::configure(options);
    return std::nullopt;
}

void EngineDriver::logNumbered(const char* name, int64_t number) {
    DEDIzurarove::logEventWithName(name,
                                   DEDIzurarove::Parameters{{kNumberParameter, foundation::Value(number)}});
}

void EngineDriver::setConditionalProperty(int64_t number) {
    using foundation::Value;
    const Value::Dictionary triggered{
        {"name", Value(kTriggeredEventName)},
        {"origin", Value("e2e")},
        {"parameters", Value(Value::Dictionary{{kNumberParameter, Value(number)}})}};
    DEDIzuraroveConnector::make()->setConditionalUserProperty(Value::Dictionary{
        {"name", Value("cup_" + std::to_string(number))},
        {"origin", Value("e2e")},
        {"value", Value("on")},
        {"triggerEventName", Value(kTriggerEventName)},
        {"triggerTimeout", Value(86400.0)},
        {"timeToLive", Value(86400.0)},
        {"triggeredEvent", Value(triggered)}});
}

std::optional<bool> EngineDriver::hasDataToUpload(double timeoutSeconds) {
    auto engine = MSRMeasurement::sharedInstance();
    if (!engine || !engine->scheduler()) return std::nullopt;
    auto answer = std::make_shared<std::optional<bool>>();
    auto done = std::make_shared<dispatch::TimedSemaphore>();
    engine->scheduler()->scheduleOnWorkerQueueBlockID("EngineDriver:hasDataToUpload", [engine, answer, done] {
        *answer = engine->hasDataToUpload();
        done->signal();
    });
    if (!done->wait(timeoutSeconds)) return std::nullopt;
    return *answer;
}

std::optional<std::function<void()>> EngineDriver::holdWorker(double boundSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(boundSeconds);
    std::shared_ptr<MSRMeasurement> engine;
    // Started: the engine exists and the facade's gate is open.
    while (!(engine = MSRMeasurement::sharedInstance()) || !engine->scheduler() ||
           MSRAnalytics::isOperationQueueSuspended()) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    auto inside = std::make_shared<dispatch::TimedSemaphore>();
    auto release = std::make_shared<dispatch::TimedSemaphore>();
    engine->scheduler()->scheduleOnWorkerQueueBlockID("EngineDriver:holdWorker",
                                                      [inside, release, boundSeconds] {
                                                          inside->signal();
                                                          release->wait(boundSeconds);
                                                      });
    if (!inside->wait(boundSeconds)) return std::nullopt;
    return std::function<void()>([release] { release->signal(); });
}

}  // namespace tools
