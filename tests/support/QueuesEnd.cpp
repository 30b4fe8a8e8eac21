// Every test binary ends as the application does: once the last test is over,
// the queues the tests started are drained and their threads joined before
// static objects are destroyed, so no block still running on a queue's thread
// (a monitor line, a log written on the monitor's queue) meets an object that
// is already gone. Linked into every test binary as an object of its own, so
// the registration below always takes part.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/ProcessEnd.h"

namespace {

class QueuesEnd : public testing::Environment {
  public:
    void TearDown() override {
        if (dispatch::endQueues(30)) return;
        std::fprintf(stderr, "a queue's work did not end within 30 s of the last test\n");
        std::fflush(nullptr);
        std::_Exit(1);
    }
};

// The framework owns the environment and tears it down after the last test.
[[maybe_unused]] testing::Environment* const kQueuesEnd = testing::AddGlobalTestEnvironment(new QueuesEnd);

}  // namespace
