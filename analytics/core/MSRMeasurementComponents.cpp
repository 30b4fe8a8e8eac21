#include "analytics/core/MSRMeasurementComponents.h"

#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRScreenViewReporterInterface.h"

bool MSRAudience::updateAudiences(const std::vector<MSRPBAudience>&) { return true; }

bool MSRAudience::hasEventFilters() const { return false; }

bool MSRAudience::evaluateFiltersForEvent(const MSREvent&, const MSREventAggregates&, MSRAudienceTimestampsCache*) {
    return true;
}

bool MSRAudience::evaluateFiltersForNanoUserProperty(const MSRPBUserAttribute&, MSRAudienceTimestampsCache*,
                                                     std::optional<double>) {
    return true;
}

void MSRAudience::clearEvaluationResultsForSessionScopedFilters() {}

std::optional<std::vector<MSRPBAudienceLeafFilterResult>> MSRAudience::resultsForBundling(MSRAudienceTimestampsCache*, MSRError*) {
    return std::vector<MSRPBAudienceLeafFilterResult>{};
}

bool MSRSessionReporterInterface::isSessionExpired() { return false; }
void MSRSessionReporterInterface::extendSession() {}
void MSRSessionReporterInterface::setTimeoutSessionInterval(double) {}
void MSRSessionReporterInterface::setReportingEnabled(bool) {}
void MSRSessionReporterInterface::reportSessionStartOnWorkerQueueWithTimestamp(double, bool) {}

void MSRSearchAdReporter::setSearchAdReporterEnabled(bool) {}
void MSRSearchAdReporter::start() {}

std::shared_ptr<MSREManager> MSREManager::sharedInstance() { return MSRComponentRegistry::make<MSREManager>(); }
std::vector<int64_t> MSREManager::activeExperimentIDs() { return {}; }
void MSREManager::reset() {}
std::shared_ptr<MSRExperimentClient> MSREManager::registerSDKProperty(
    const std::string&, int64_t, std::weak_ptr<MSRExperimentClientDelegate>) {
    return nullptr;
}

std::optional<std::vector<MSREvent>> MSRConditionalUserPropertyController::processEventOnWorkerQueue(const MSREvent&) {
    return std::vector<MSREvent>{};
}

bool MSRLifetimeValueRecorder::isPurchaseEvent(const MSREvent&) { return false; }
bool MSRLifetimeValueRecorder::recordLifetimeValueToDatabase(MSRDatabase&, const MSREvent&) { return true; }

bool MSRReceiptFacts::isVersionSameAsOriginalVersion() { return false; }

void MSRTransactionReporterInterface::reportTransactionWithProductID(
    const std::string&, const std::optional<std::string>&, const std::optional<std::string>&,
    const std::optional<std::string>&, int64_t, bool, bool, int64_t, std::optional<double>, std::optional<double>,
    std::optional<double>, std::optional<double>) {}

bool MSRIsAppActive() {
    auto reporter = MSRScreenViewReporterInterface::shared();
    return !reporter || reporter->isAppActive();
}

bool MSRIsAdExposureEvent(const MSREvent& event) {
    return event.origin() == "am" || event.name() == "_xa" || event.name() == "_xu";
}

std::optional<std::vector<MSRPBEvent>> MSREventSampler::sampleEvents(const std::vector<MSRPBEvent>& events, MSRError*) {
    return events;
}
