#pragma once

#include <string>

#include "platform/dispatch/MainQueue.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"

// A data root of its own for one test, with the calling thread as the main
// thread and no shared state left from earlier tests; removed afterwards.
class TemporaryHome {
public:
    explicit TemporaryHome(const std::string& label) : root_(label) {
        root_.useAsHome();
        dispatch::markMainThread();
        resetSharedState();
    }
    ~TemporaryHome() { resetSharedState(); }
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;

private:
    TemporaryDataRoot root_;
};
