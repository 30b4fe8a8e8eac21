#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>

namespace web {

// Time as a process and every process it started have had it since the
// clock was made: the wall clock less the longest any one of their threads
// waited for a core (the kernel's schedstat). A browser on a machine crowded
// with other work gets a turn now and then; a deadline on this clock gives
// it its time whatever the crowd, and still ends a browser that hangs (a
// thread waiting on nothing waits for no core). Without schedstat, or before
// the leader is known, the wall clock.
//
// The processes are looked at only once a second has passed, and then at
// most every quarter second, so that a wait that ends quickly costs nothing.
class GroupClock {
  public:
    // `leader` the first process (0: not known yet). `bornAfter`: every
    // thread of the group started after this moment, so all its waiting
    // counts; else what a thread had waited when first looked at does not.
    explicit GroupClock(pid_t leader = 0, bool bornAfter = true);

    void follow(pid_t leader) { leader_ = leader; }
    // Seconds since the clock was made, as the group had them.
    double seconds();
    double wallSeconds() const;

  private:
    void look();

    std::chrono::steady_clock::time_point began_;
    pid_t leader_;
    bool bornAfter_;
    bool looked_ = false;
    double lastLook_ = 0;
    double waited_ = 0;
    std::map<pid_t, double> waitedBefore_;  // by thread id
};

// A deadline `seconds` away on a group's clock.
class GroupDeadline {
  public:
    explicit GroupDeadline(double seconds, pid_t leader = 0, bool bornAfter = true)
        : clock_(leader, bornAfter), seconds_(seconds) {}
    void follow(pid_t leader) { clock_.follow(leader); }
    // Milliseconds left, at most `most`; 0 once it has passed. The group's
    // clock runs no faster than the wall clock, so a wait this long never
    // passes the deadline.
    int millisecondsLeft(int most);
    bool passed() { return millisecondsLeft(1) == 0; }
    double secondsLeft() { return seconds_ - clock_.seconds(); }

  private:
    GroupClock clock_;
    double seconds_;
};

}  // namespace web
