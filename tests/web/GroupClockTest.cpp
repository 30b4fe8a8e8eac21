// The clock a browser's deadlines run on: a group kept from its core by
// other work has had little of the time that passed; a group that hangs,
// waiting on nothing, has had all of it, so a deadline still ends it.

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/web/GroupClock.h"

namespace {

// Process groups ended and reaped when the test leaves (or with it).
struct Children {
    std::vector<pid_t> pids;
    ~Children() {
        for (const pid_t pid : pids) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // A process that spins on `core` (or, with `sleeper`, sleeps) under a
    // leader that sleeps; the leader's id.
    pid_t start(int core, bool sleeper) {
        const pid_t leader = fork();
        if (leader == 0) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(core, &one);
            sched_setaffinity(0, sizeof one, &one);
            if (fork() == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (sleeper) for (;;) pause();
                volatile unsigned long turns = 0;
                for (;;) turns = turns + 1;
            }
            for (;;) pause();
        }
        setpgid(leader, leader);
        pids.push_back(leader);
        return leader;
    }
};

int firstCoreOfThisProcess() {
    cpu_set_t mine;
    sched_getaffinity(0, sizeof mine, &mine);
    for (int core = 0; core < CPU_SETSIZE; ++core)
        if (CPU_ISSET(core, &mine)) return core;
    return 0;
}

TEST(GroupClockTest, AGroupKeptFromItsCoreRunsSlowAndOneThatHangsRunsAsTheWall) {
    const int core = firstCoreOfThisProcess();
    Children children;
    web::GroupClock crowded, hung;
    crowded.follow(children.start(core, false));
    hung.follow(children.start(core, true));
    // Three more spinners on the same core, outside both groups: the
    // crowded group's spinner gets a quarter of it at best.
    for (int i = 0; i < 3; ++i) children.start(core, false);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double crowdedHad = crowded.seconds(), hungHad = hung.seconds();
    const double wall = hung.wallSeconds();
    std::printf("of %.2f s, the crowded group had %.2f s and the hung one %.2f s\n", wall, crowdedHad, hungHad);
    EXPECT_LT(crowdedHad, 0.6 * wall) << "a group kept from its core had " << crowdedHad << " s of " << wall << " s";
    EXPECT_GT(hungHad, 0.9 * wall) << "a group that waits on nothing had " << hungHad << " s of " << wall << " s";
}

}  // namespace
