// The main of every test binary. It ends as the application does: the queues
// the tests started are drained and their threads joined before static
// objects are destroyed, so no block still running on a queue's thread (a
// monitor line, a log written on the monitor's queue) meets an object that
// is already gone.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/ProcessEnd.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (!dispatch::endQueues(30)) {
        std::fprintf(stderr, "a queue's work did not end within 30 s of the last test\n");
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return status;
}
