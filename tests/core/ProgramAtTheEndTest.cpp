// The application's end and a server's program that loops within its
// bounds: the run under way when the end comes is stopped with the end's
// short time, and the event it held is stored unedited.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

// The interpreter's editor with a program whose edit callback loops, its
// budget and time guard far beyond the test's wait: only a stop ends a run.
// It says when a run begins and ends.
class LoopingProgram : public MSRPEventEditing {
  public:
    void setModuleCreator(ModuleCreator creator, const std::string& name) override {
        editing_.setModuleCreator(std::move(creator), name);
    }
    bool loadProgram(const MSRPBProgram&, MSRError* error) override {
        std::string assembleError;
        std::optional<MSRPBProgram> endless = ProgramAssembler::assembleEditingProgram(R"(
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e") (loop true 0 false (list)) (return 0)) (object "type" "edit")))
)",
                                                                                       "rules", &assembleError);
        EXPECT_TRUE(endless) << assembleError;
        if (!endless || !editing_.loadProgram(*endless, error)) return false;
        editing_.runtime().setInstructionBudget(int64_t{1} << 50);
        editing_.runtime().setTimeLimit(std::chrono::minutes(10));
        return true;
    }
    bool handleEvent(const MSRPEvent& event, MSRError* error) override {
        change(State::running);
        const bool edited = editing_.handleEvent(event, error);
        change(State::ended);
        return edited;
    }
    bool hasEdits() const override { return editing_.hasEdits(); }
    bool hasCreatedEvents() const override { return editing_.hasCreatedEvents(); }
    const MSRPEventContext& eventContext() const override { return editing_.eventContext(); }
    std::string failureReason() const override { return editing_.failureReason(); }
    void stopRunsWithin(double seconds) override { editing_.stopRunsWithin(seconds); }

    enum class State { waiting, running, ended };
    // Waits up to `limit` for `state`; false when it did not come.
    bool waitFor(State state, std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return state_ == state; });
    }
    // Ends every run now, as the test's last resort.
    void stopNow() { editing_.stopRunsWithin(0); }

  private:
    void change(State state) {
        {
            std::lock_guard lock(mutex_);
            state_ = state;
        }
        changed_.notify_all();
    }
    MSRPInterpreterEventEditing editing_;
    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::waiting;
};

class ProgramAtTheEndTest : public MeasurementEventsHarness {};

// The end comes (from another thread, as the main thread's notification
// does) while the worker runs the program for an event: the run stops with
// the end's time, a quarter of a second, far inside the test's wait; without
// the stop it would loop for minutes.
TEST_F(ProgramAtTheEndTest, TheEndStopsARunLoopingWithinItsBudget) {
    auto program = std::make_shared<LoopingProgram>();
    MSRComponentRegistry::registerMaker<MSRPEventEditing>([program](const MSRComponentContext&) { return program; });
    // Started first: the engine may hand the program an event of its own
    // as soon as the program is there.
    bool stoppedByTheEnd = false;
    std::jthread end([&] {
        if (!program->waitFor(LoopingProgram::State::running, std::chrono::seconds(60))) return program->stopNow();
        foundation::NotificationCenter::defaultCenter().post(ui::Application::willTerminateNotification);
        stoppedByTheEnd = program->waitFor(LoopingProgram::State::ended, std::chrono::seconds(10));
        // Else the test fails, and ends.
        if (!stoppedByTheEnd) program->stopNow();
    });
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, 0, 1);
    MSRPBSetString(config, 1, engine().appID());
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{MSRPBProgram()});
    EXPECT_TRUE(remoteConfig().updateMeasurementConfig(config));
    EXPECT_EQ(remoteConfig().eventEditing(), program);
    log("level_up");
    end.join();
    EXPECT_TRUE(stoppedByTheEnd) << "the run under way at the end went on";
    EXPECT_EQ(program->failureReason(), "application end");
    EXPECT_EQ(stored("level_up").size(), 1u);
    MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
}

}  // namespace
