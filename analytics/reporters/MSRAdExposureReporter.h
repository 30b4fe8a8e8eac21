#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "analytics/model/MSRValue.h"
#include "platform/dispatch/SerialQueue.h"

struct MSRScreen;

// How long ad units are on screen: "_xu" per unit and "_xa" for all units
// together, with "_xt" in ms and the screen's parameters (origin "am").
// Nothing in the application calls begin and end; they are offered to an
// ad library. Open exposures are reported and restarted when the screen
// changes, on the engagement timer and when the application resigns active;
// they restart when it becomes active again. Exposures shorter than a second
// are not reported.
//
// The counts and start times live on the serial queue "MSRAdExposureReporter";
// times are read on the monotonic clock on the caller's thread.
class MSRAdExposureReporter : public std::enable_shared_from_this<MSRAdExposureReporter> {
  public:
    static constexpr const char* kQueueLabel = "MSRAdExposureReporter";
    // Open units at most; every begin beyond is refused, also of an open unit.
    static constexpr size_t kMaxAdUnits = 100;

    static std::shared_ptr<MSRAdExposureReporter> sharedInstance();

    // Begin returns at once; end waits for the queue.
    void beginAdUnitExposure(const std::string& adUnitID);
    void endAdUnitExposure(const std::string& adUnitID);
    // Reports every open unit and all of them together, then restarts them.
    void logExposureEventsWithScreenParameters(const MSRParameters& screenParameters);

    // From the screen-view reporter.
    void handleScreenDidChangeFromScreen(const MSRScreen* previous, const MSRScreen* screen);
    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const MSRScreen* screen);

    bool isReportingEnabled() const { return reportingEnabled_.load(); }
    void setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }

  private:
    MSRAdExposureReporter();
    void observeEngagementTimer();
    void onQueue(const std::function<void()>& block);
    static double currentTime();
    void updateStartTimesOnSerialQueue(double time);
    void logExposureEventsOnSerialQueueWithEndTime(double endTime, const MSRParameters& screenParameters);
    void logAdExposureEventOnSerialQueueWithEndTime(double endTime, const MSRParameters& screenParameters);
    void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                   const MSRParameters& screenParameters);

    std::shared_ptr<dispatch::SerialQueue> queue_;
    std::atomic<bool> reportingEnabled_{true};
    // On the queue only.
    std::map<std::string, int64_t> adUnitCounts_;
    std::map<std::string, double> adUnitStartTimes_;
    double adExposureStartTime_ = 0;
};
