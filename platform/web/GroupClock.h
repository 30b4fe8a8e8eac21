#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <map>

namespace web {

// Time as a process and every process it started have had it since the
// clock was made: the wall clock less what their threads waited for a core
// (the kernel's schedstat), all of it. A browser on a machine crowded with
// other work gets a turn now and then, and its work passes from thread to
// thread, each waiting in turn: the longest wait of one thread counts only
// a part of what held the work back, the sum counts it all (and more, when
// threads wait side by side). A deadline on this clock gives the browser its
// time whatever the crowd, and still ends one that hangs (a thread waiting
// on nothing waits for no core). Without schedstat, or before the leader is
// known, the wall clock.
//
// The processes are looked at only once a second has passed, and then at
// most every quarter second, so that a wait that ends quickly costs nothing.
class GroupClock {
  public:
    // `leader` the first process (0: not known yet). `bornAfter`: every
    // thread of the group started after this moment, so all its waiting
    // counts; else what a thread had waited when first looked at does not,
    // and the group is looked at as soon as its leader is known: a first
    // look put off until the wait is long would take every wait before it
    // for the group's own time.
    explicit GroupClock(pid_t leader = 0, bool bornAfter = true);

    void follow(pid_t leader);
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
    struct Waits {
        double atFirst;  // what it had waited when first seen, not counted
        double counted;  // what it has waited since, counted
    };
    std::map<pid_t, Waits> threads_;  // by thread id
};

// A deadline `seconds` away on a group's clock, and never more than
// kWallTimes as many seconds away on the wall clock: a group that spins on a
// core shared by many waits nearly all the time, and its clock barely moves.
class GroupDeadline {
  public:
    static constexpr double kWallTimes = 15;

    explicit GroupDeadline(double seconds, pid_t leader = 0, bool bornAfter = true)
        : clock_(leader, bornAfter), seconds_(seconds) {}

    void follow(pid_t leader) { clock_.follow(leader); }
    // Milliseconds left, at most `most`; 0 once it has passed. The group's
    // clock runs no faster than the wall clock, so a wait this long never
    // passes the deadline.
    int millisecondsLeft(int most);
    bool passed() { return millisecondsLeft(1) == 0; }
    double secondsLeft() {
        return std::min(seconds_ - clock_.seconds(), kWallTimes * seconds_ - clock_.wallSeconds());
    }

  private:
    GroupClock clock_;
    double seconds_;
};

}  // namespace web
