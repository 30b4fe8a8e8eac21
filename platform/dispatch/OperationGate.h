#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/dispatch/Queue.h"

namespace dispatch {

// A width-1 operation queue that can be held shut. Operations run one at a
// time, in the order added, on a serial queue of the gate's own. While the
// gate is suspended, added operations wait in its backlog; resume() releases
// the backlog in order, each operation exactly once. Suspending does not stop
// an operation that has already been released.
class OperationGate {
public:
    explicit OperationGate(std::string name, bool startSuspended = false);
    ~OperationGate();
    OperationGate(const OperationGate&) = delete;
    OperationGate& operator=(const OperationGate&) = delete;

    const std::string& name() const;

    void addOperation(Task operation);
    // Adds an operation that only posts `block` on `target`. While the gate is
    // open with nothing waiting or running, the block is posted at once (under
    // the gate's lock, so no operation added later overtakes it) instead of
    // taking a turn on the gate's own queue: one thread hop less per block.
    void addOperationPostingTo(const std::shared_ptr<Queue>& target, Task block);
    void suspend();
    void resume();
    bool isSuspended() const;

    // Operations added and not yet finished (waiting, released or running).
    size_t operationCount() const;

    // Blocks until every operation added so far has finished. Returns false at
    // once when the gate is suspended with operations waiting (they could never
    // finish). Under a ManualExecutor it runs queued work instead of blocking.
    bool waitUntilAllOperationsAreFinished();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace dispatch
