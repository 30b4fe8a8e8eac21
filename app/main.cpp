#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/CalvaroMain.h"
#include "app/Launcher.h"
#include "analytics/audience/MSRAudienceEvaluator.h"
#include "analytics/connector/MSRConnector.h"
#include "analytics/core/DEDIzurarove.h"
#include "analytics/core/MSRAppDelegateInterceptor.h"
#include "analytics/core/MSREventEditingRegistration.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/reporters/MSREManagerImpl.h"
#include "analytics/reporters/MSRInAppPurchaseTransactionReporter.h"
#include "analytics/reporters/MSRReporters.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "app/SignalWatcher.h"
#include "app/StoredFileBounds.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/foundation/DataLoss.h"
#include "platform/web/Chromium.h"

namespace {

// Time for the queues to finish what they hold once the application has
// ended (the background work has had its own time before).
constexpr double kEndTimeLimit = 30.0;
// Kept from a signalled process's time for closing the databases.
constexpr double kExitMargin = 0.2;

}  // namespace

int main(int argc, char** argv) {
    // First, before any thread starts: the end of a signalled process is as
    // orderly as any other. The registrations below may start threads (a
    // reporter made now, the monitor's queue when one of them logs), and a
    // thread started before the watcher would take the signal and die of it.
    app::SignalWatcher signals;
    // Every module that plugs into the analytics engine registers here, before
    // anything configures the host (see MSRComponentRegistry).
    MSRRegisterReporters();
    MSRRegisterPurchaseReporting();
    MSRRegisterConnector();
    MSRRegisterAudience();
    MSRRegisterExperiments();
    MSRRegisterEventEditing();
    DEDIzurarove::registerWithHost();
    app::startThreadAtRegistrationForTesting();
    // What each file of the data root may hold, before a start reads any.
    app::stateStoredFileBounds();
    int status = app::runCalvaro(
        argc, argv, {makeCalvaroAppDelegate, calvaroDemoScript, [&] { return signals.received(); }}, std::cout,
        std::cerr, [](const std::string& url) { MSRAppDelegateInterceptor::sharedInstance().applicationOpenURL(url); });
    // Nothing outlives main: the queues finish their work and their threads
    // are joined before static objects go. A signalled process has only
    // what is left of its time to stop (the watcher ends it after that).
    const double limit = signals.received() != 0 ? std::max(0.0, signals.secondsLeft() - kExitMargin) : kEndTimeLimit;
    if (!dispatch::endQueues(limit)) {
        std::cerr << "calvaro: work was still running " << limit << " s after the end; leaving without it\n";
        // The worker may still be storing: what it holds now is what is lost.
        if (const size_t left = MSRMeasurement::eventsNotStoredYet(); left > 0)
            std::cerr << "calvaro: " << left << " events handed over to analytics were left behind, not stored\n";
        web::Chromium::end();
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(status != 0 ? status : 1);
    }
    // With no queue left, the databases are closed, which also moves what
    // their logs hold into their main files.
    MSRSqliteStore::closeAllDatabases();
    if (auto lost = foundation::DataLoss::describe()) {
        std::cerr << "calvaro: " << *lost << "\n";
        if (status == 0) status = 1;
    }
    return status;
}
