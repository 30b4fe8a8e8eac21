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
#include <ctime>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/web/GroupClock.h"

namespace {

// Takes the turn from `in`, spins 5 ms of its own CPU, hands it on to `out`;
// `first` starts.
[[noreturn]] void relayWork(int in, int out, bool first) {
    char token = 't';
    if (first) (void)!write(out, &token, 1);
    for (;;) {
        if (read(in, &token, 1) != 1) _exit(0);
        timespec begun{}, now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begun);
        do clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        while ((now.tv_sec - begun.tv_sec) * 1'000'000'000L + (now.tv_nsec - begun.tv_nsec) < 5'000'000L);
        (void)!write(out, &token, 1);
    }
}

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
    // leader that sleeps; the leader's id. With `relay`, the leader and the
    // process pass the work to and fro instead: one spins for 5 ms of its
    // core while the other waits for its turn, as a renderer and a browser do.
    pid_t start(int core, bool sleeper, bool relay = false) {
        const pid_t leader = fork();
        if (leader == 0) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(core, &one);
            sched_setaffinity(0, sizeof one, &one);
            int there[2], back[2];
            if (relay && (pipe(there) != 0 || pipe(back) != 0)) _exit(1);
            const pid_t child = fork();
            if (child == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (relay) relayWork(there[0], back[1], false);
                if (sleeper) for (;;) pause();
                volatile unsigned long turns = 0;
                for (;;) turns = turns + 1;
            }
            if (relay) relayWork(back[0], there[1], true);
            for (;;) pause();
        }
        setpgid(leader, leader);
        pids.push_back(leader);
        return leader;
    }
};

// The state letter of process `pid` ('S' asleep, 'R' running or waiting for
// a core), or 0 when it cannot be read.
char stateOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

// Waits until `leader` and the child it starts both sleep: from then on the
// group waits on nothing, and however crowded the core, for no turn on it.
void waitUntilAsleep(pid_t leader) {
    for (;;) {
        std::ifstream below("/proc/" + std::to_string(leader) + "/task/" + std::to_string(leader) + "/children");
        pid_t child = 0;
        if (below >> child && stateOf(leader) == 'S' && stateOf(child) == 'S') return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

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
    web::GroupClock crowded, relaying;
    crowded.follow(children.start(core, false));
    relaying.follow(children.start(core, false, true));
    // The hung group's clock starts once it sleeps, as a browser's deadline
    // starts on a browser already running: what its start waited for the
    // crowded core is not a hang's.
    const pid_t sleeper = children.start(core, true);
    waitUntilAsleep(sleeper);
    web::GroupClock hung(sleeper, false);
    // Two more spinners on the same core, outside the groups: each group at
    // work gets a quarter of it at best, the relaying group's waits split
    // between its two processes.
    for (int i = 0; i < 2; ++i) children.start(core, false);
    // A clock made on a group already at work, as a wait on a running
    // browser makes one, and first read only when the wait is over.
    web::GroupClock joined(children.pids.front(), false);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // Each clock is read before the wall it is compared with, or after it
    // for the hung one: on a crowded core the test itself may wait between
    // two reads, and that wait is then on the claim's safe side.
    const double hungWall = hung.wallSeconds(), hungHad = hung.seconds();
    const double crowdedHad = crowded.seconds(), relayingHad = relaying.seconds();
    const double joinedHad = joined.seconds(), joinedWall = joined.wallSeconds();
    const double wall = crowded.wallSeconds();
    std::printf("of %.2f s, the crowded group had %.2f s, the relaying one %.2f s; of %.2f s the hung one %.2f s; "
                "of %.2f s, the crowded group joined at work had %.2f s\n",
                wall, crowdedHad, relayingHad, hungWall, hungHad, joinedWall, joinedHad);
    EXPECT_LT(crowdedHad, 0.6 * wall) << "a group kept from its core had " << crowdedHad << " s of " << wall << " s";
    EXPECT_LT(joinedHad, 0.6 * joinedWall) << "a group kept from its core, its clock made while it ran, had "
                                           << joinedHad << " s of " << joinedWall << " s";
    EXPECT_LT(relayingHad, 0.6 * wall) << "a group kept from its core, its work passing between two processes, had "
                                       << relayingHad << " s of " << wall << " s";
    EXPECT_GT(hungHad, 0.9 * hungWall) << "a group that waits on nothing had " << hungHad << " s of " << hungWall << " s";
}

}  // namespace
