#include "analytics/reporters/MSRAdExposureReporter.h"

#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRScreenViewReporterInterface.h"
#include "analytics/reporters/MSRReporterSupport.h"
#include "analytics/reporters/MSRScreen.h"
#include "analytics/reporters/MSRSessionReporter.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedSlot.h"

namespace {

foundation::SharedSlot<MSRAdExposureReporter>& reporterSlot() {
    static foundation::SharedSlot<MSRAdExposureReporter> slot;
    return slot;
}

MSRParameters currentScreenParameters() {
    auto screen = MSRScreenViewReporterInterface::shared();
    return screen ? screen->screenParameters().value_or(MSRParameters{}) : MSRParameters{};
}

// Whole milliseconds of an exposure; under a second is not worth a report.
int64_t exposureMillis(double start, double end) {
    return static_cast<int64_t>((end - start) * 1000);
}

void logExposure(const char* name, const MSRParameters& screenParameters, MSRParameters parameters) {
    parameters.insert(screenParameters.begin(), screenParameters.end());
    MSRAnalytics::logInternalEventWithOrigin("am", name, MSRObjectsFromParameters(parameters));
}

}  // namespace

std::shared_ptr<MSRAdExposureReporter> MSRAdExposureReporter::sharedInstance() {
    return MSRSharedReporter(
        reporterSlot(), [] { return std::shared_ptr<MSRAdExposureReporter>(new MSRAdExposureReporter()); },
        &MSRAdExposureReporter::observeEngagementTimer);
}

MSRAdExposureReporter::MSRAdExposureReporter() : queue_(dispatch::SerialQueue::create(kQueueLabel)) {}

void MSRAdExposureReporter::observeEngagementTimer() {
    foundation::NotificationCenter::defaultCenter().addObserver(
        weak_from_this(), MSRSessionReporter::kEngagementTimerDidFireNotification,
        [this](const foundation::Notification&) {
            logExposureEventsWithScreenParameters(currentScreenParameters());
        });
}

void MSRAdExposureReporter::onQueue(const std::function<void()>& block) {
    queue_->syncOrRunIfCurrent(block);
}

double MSRAdExposureReporter::currentTime() {
    return dispatch::Clock::uptimeNow();
}

void MSRAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        MSRReporterLog(5, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double time = currentTime();
    std::weak_ptr<MSRAdExposureReporter> weak = weak_from_this();
    queue_->async([weak, adUnitID, time] {
        auto self = weak.lock();
        if (!self) return;
        if (self->adUnitCounts_.size() >= kMaxAdUnits) {
            MSRReporterLog(5, 1002, "Reached limit on ad units. Ignoring ad unit with ID", {adUnitID});
            return;
        }
        if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = time;
        if (!self->adUnitCounts_.count(adUnitID)) self->adUnitStartTimes_[adUnitID] = time;
        ++self->adUnitCounts_[adUnitID];
    });
}

void MSRAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        MSRReporterLog(5, 1003, "Ignoring call to end ad unit exposure. Received empty ad unit ID");
        return;
    }
    onQueue([&] {
        const double time = currentTime();
        const MSRParameters screenParameters = currentScreenParameters();
        auto count = adUnitCounts_.find(adUnitID);
        if (count == adUnitCounts_.end()) {
            MSRReporterLog(5, 1004, "Unknown ad unit. Ignoring ad unit with ID", {adUnitID});
            return;
        }
        if (count->second >= 2) {
            --count->second;
            return;
        }
        logAdUnitExposureEventOnSerialQueueWithID(adUnitID, time, screenParameters);
        adUnitCounts_.erase(count);
        adUnitStartTimes_.erase(adUnitID);
        if (adUnitCounts_.empty()) {
            logAdExposureEventOnSerialQueueWithEndTime(time, screenParameters);
            adExposureStartTime_ = time;
        }
    });
}

void MSRAdExposureReporter::logExposureEventsWithScreenParameters(const MSRParameters& screenParameters) {
    const double time = currentTime();
    onQueue([&] { logExposureEventsOnSerialQueueWithEndTime(time, screenParameters); });
}

void MSRAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                                      const MSRParameters& screenParameters) {
    for (const auto& [adUnitID, count] : adUnitCounts_)
        logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, screenParameters);
    if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters);
    updateStartTimesOnSerialQueue(endTime);
}

void MSRAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
    for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
    adExposureStartTime_ = time;
}

void MSRAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID,
                                                                      double endTime,
                                                                      const MSRParameters& screenParameters) {
    if (!isReportingEnabled())
        return MSRReporterLog(5, 1007, "Ad unit exposure not logged. Reporting is disabled.");
    if (adUnitID.empty())
        return MSRReporterLog(5, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
    if (!MSRIsAppActive()) return MSRReporterLog(8, 1011, "Ad unit exposure not logged. App is not active.");
    const int64_t millis = exposureMillis(adUnitStartTimes_[adUnitID], endTime);
    if (millis <= 999)
        return MSRReporterLog(8, 1009, "Ad unit exposure not logged. Exposure time was less than 1 sec");
    logExposure("_xu", screenParameters, {{"_ai", MSRValue(adUnitID)}, {"_xt", MSRValue(millis)}});
}

void MSRAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(
    double endTime, const MSRParameters& screenParameters) {
    if (!isReportingEnabled())
        return MSRReporterLog(5, 1005, "Ad exposure not logged. Reporting is disabled.");
    if (!MSRIsAppActive()) return MSRReporterLog(8, 1010, "Ad exposure not logged. App is not active.");
    const int64_t millis = exposureMillis(adExposureStartTime_, endTime);
    if (millis <= 999)
        return MSRReporterLog(8, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
    logExposure("_xa", screenParameters, {{"_xt", MSRValue(millis)}});
}

// ---- triggers -----------------------------------------------------------------

void MSRAdExposureReporter::handleScreenDidChangeFromScreen(const MSRScreen* previous, const MSRScreen*) {
    // The time goes to the screen that was left.
    if (previous) logExposureEventsWithScreenParameters(MSRScreenEventParameters(*previous));
}

void MSRAdExposureReporter::handleAppDidBecomeActive() {
    const double time = currentTime();
    onQueue([&] { updateStartTimesOnSerialQueue(time); });
}

void MSRAdExposureReporter::handleAppWillResignActiveWithScreen(const MSRScreen* screen) {
    MSRParameters parameters = screen ? MSRScreenEventParameters(*screen) : MSRParameters{};
    if (parameters.empty()) parameters = currentScreenParameters();
    logExposureEventsWithScreenParameters(parameters);
}
