#pragma once

#include <gtest/gtest.h>

// Puts back every shared instance of the platform and the analytics engine as
// a new process finds it: the application and its windows, builders and
// appearance hooks, traits, the host app and advertising identity, the
// measurement engine and its interface, identity and identifiers, the facade,
// consent settings and the persisted configuration. Harnesses call it when
// they start and when they end; state of the Calvaro screens and services is
// reset by their own harness after this.
void resetSharedState();

// A test that starts and ends on the shared state a new process finds.
class SharedStateTest : public ::testing::Test {
  protected:
    void SetUp() override { resetSharedState(); }
    void TearDown() override { resetSharedState(); }
};
