#pragma once

#include <mutex>

namespace dispatch {

// Wall time and uptime. Code asks Clock::now() and Clock::uptimeNow(); tests
// install a FakeClock (a ManualExecutor installs its own).
class Clock {
public:
    virtual ~Clock() = default;

    // Seconds since 1970.
    virtual double wallTime() const = 0;
    // Seconds since boot, never going backwards (suspended time included).
    virtual double uptime() const = 0;

    // The installed clock, the system clock when none is.
    static Clock& current();
    // Installs `clock` (null: the system clock). The caller keeps ownership
    // and must uninstall it before destroying it.
    static void install(Clock* clock);

    static double now() { return current().wallTime(); }
    static double uptimeNow() { return current().uptime(); }
};

class SystemClock : public Clock {
public:
    static SystemClock& shared();
    double wallTime() const override;
    double uptime() const override;
};

// A clock that moves only when told. Thread-safe.
class FakeClock : public Clock {
public:
    explicit FakeClock(double wallTime = 1'700'000'000.0, double uptime = 1000.0);

    double wallTime() const override;
    double uptime() const override;

    // Moves both wall time and uptime forward.
    void advance(double seconds);
    // Sets the wall clock alone, as a user changing the device's clock would.
    void setWallTime(double seconds);
    void setUptime(double seconds);

private:
    mutable std::mutex mutex_;
    double wall_;
    double uptime_;
};

}  // namespace dispatch
