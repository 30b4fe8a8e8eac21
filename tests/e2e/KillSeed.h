#pragma once

// The seed of a kill test's random moments. Every kill test draws its
// moments from one generator seeded here and prints the seed; a failing run
// is replayed with CALVARO_KILL_SEED=<the printed seed> (the moments drawn
// are the same, the machine's timing around them is not).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

// CALVARO_KILL_SEED when it is a decimal number, else a seed drawn from the
// random device; printed and recorded in the test's XML output either way.
inline unsigned killSeed() {
    unsigned seed = 0;
    const char* given = std::getenv("CALVARO_KILL_SEED");
    char* end = nullptr;
    const unsigned long parsed = given && *given ? std::strtoul(given, &end, 10) : 0;
    if (given && *given && end && *end == '\0') {
        seed = static_cast<unsigned>(parsed);
    } else {
        seed = std::random_device{}();
    }
    testing::Test::RecordProperty("kill_seed", std::to_string(seed));
    std::printf("kill seed %u (CALVARO_KILL_SEED=%u replays its moments)\n", seed, seed);
    std::fflush(stdout);
    return seed;
}
