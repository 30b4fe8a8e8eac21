#pragma once
// The event editor the measurement engine gets from its component registry:
// one interpreter runtime per loaded program. Loading runs the program's top
// level, which defines rule functions, then hands each activity's entries to
// the rule of its name; the rules register edit and create callbacks through
// "internal.registerCallback". Each event then resets the instruction budget,
// runs the edit callbacks and the create callbacks in ascending priority
// against a working copy, and collects garbage afterwards when a collection
// is due, paid from the event's budget.
//
// Whatever the program does, an event costs a bounded time and memory: the
// instruction budget (charged by the work of every method), a time guard
// behind it, one memory ceiling for everything the program's values hold,
// and a bounded number and size of created events.
//
// The callbacks work on a copy of the event made of the program's own texts
// (its name and parameter names) and of shared parameter values: the copy
// that each edit callback keeps to undo its edits shares them all, counts
// on the runtime's account and is charged before the callback runs. The
// host's event is made from it once, when the run is over.

#include <chrono>
#include <map>
#include <string>
#include <unordered_map>

#include "analytics/interpreter/MSRPEditingCallbackHandler.h"
#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/model/MSRPEventEditing.h"

class MSRPInterpreterEventEditing final : public MSRPEventEditing {
  public:
    MSRPInterpreterEventEditing();
    ~MSRPInterpreterEventEditing() override;

    // Host modules ("internal.remoteConfig", "internal.appMetadata",
    // "internal.logger") become program modules of the same name.
    void setModuleCreator(ModuleCreator creator, const std::string& name) override;
    // Runs the top-level statements and the activities; an interpreter error,
    // or an editing error (MSRPEditingErrorDomain, codes below).
    bool loadProgram(const MSRPBProgram& program, MSRError* error) override;
    bool loadProgramInPlace(MSRPBMessageView program, MSRError* error) override;
    bool handleEvent(const MSRPEvent& event, MSRError* error) override;
    bool hasEdits() const override { return hasEdits_; }
    bool hasCreatedEvents() const override { return !context_.eventsToLog.empty(); }
    const MSRPEventContext& eventContext() const override { return context_; }
    int64_t refusedEventCount() const override { return refusedEvents_; }
    std::string failureReason() const override;
    void stopRunsWithin(double seconds) override;
    void limitNextRun(double seconds) override { nextRunLimit_ = seconds; }

    // Events one input event may create, and the bytes their parameters
    // take; further ones are refused. No parameter the program sets may be
    // larger either.
    static constexpr size_t kMaxCreatedEvents = 20;
    static constexpr int64_t kMaxCreatedEventBytes = int64_t{1} << 20;
    // The most parameters the event a program edits may have: the engine
    // keeps 25 of a stored event, and what the run leaves is copied out
    // after it, beyond its budget. A program that sets one more is stopped
    // (kEventParameters).
    static constexpr size_t kMaxEventParameters = 10'000;
    // The last line behind the instruction budget, per event and per load.
    static constexpr std::chrono::milliseconds kTimeLimit{1'000};

    MSRPRuntime& runtime() { return runtime_; }
    const MSRPEditingCallbackHandler& callbackHandler() const { return callbacks_; }

    // The editing errors.
    static constexpr int kEditingErrorNoType = 2;
    static constexpr int kEditingErrorUnknownType = 3;
    static constexpr int kEditingErrorTooManyCallbacks = 4;
    static constexpr int kEditingErrorControlValue = 5;
    static constexpr int kEditingErrorRuleNotMap = 6;
    static constexpr int kEditingErrorNoRule = 7;
    // A program of more than kMaxProgramEntities entities.
    static constexpr int kEditingErrorTooManyEntities = 8;
    // The process has no hash key: the system gave no random bytes.
    static constexpr int kEditingErrorNoHashKey = 9;
    // The monitor's code of that refusal.
    static constexpr int64_t kNoHashKeyMessageCode = 29030;

    // How a parameter's new value is stored beside its current one (absent
    // for none): the counters "_syn", "_err" and "_el" and parameters that
    // held integers stay integers, parameters that held text stay text.
    static foundation::Value normalizeParameterValue(std::string_view name, const foundation::Value& current,
                                                     const foundation::Value& value);
    // Same name, timestamps within the double epsilon, and the same
    // parameters with numbers of the same kind. A parameter present in only
    // one of the two makes them unequal, so a removal counts as an edit.
    static bool eventsEqual(const MSRPEvent& a, const MSRPEvent& b);

  private:
    // A parameter's value that a program set: shared by the copies of the
    // working event, and counted on the account in use by what it holds.
    class StoredValue final : public MSRPRefCounted {
      public:
        StoredValue(foundation::Value value, int64_t bytes);
        ~StoredValue() override;
        const foundation::Value& value() const { return value_; }
        int64_t bytes() const { return bytes_; }

      private:
        foundation::Value value_;
        int64_t bytes_;
    };
    // Its value is the host event's own while the program has not set it
    // (that event outlives the run), else the one the program set.
    struct Parameter {
        MSRPText name;
        const foundation::Value* value = nullptr;
        MSRPRef<StoredValue> set;
        int64_t bytes() const { return set ? set->bytes() : 0; }
    };
    // In the order of their names' bytes, as the host's event keeps them: a
    // copy is one list of shared references.
    using Parameters = MSRPMemory::List<Parameter>;
    struct WorkingEvent {
        MSRPText name;
        double timestamp = 0;
        Parameters parameters;
        int64_t bytes() const;
        // The parameter named `name`, or where it would go: each comparison
        // charged, the texts' bytes as they are read.
        Parameters::iterator place(MSRPExecution& execution, const MSRPText& name);
        // What converting a parameter's value into the program costs, as
        // bytes at the charge point.
        static int64_t conversionBytes(const Parameter& parameter);
    };
    // The program's copy of the host's event, and the host's event made of it.
    WorkingEvent workingEventFrom(const MSRPEvent& event);
    // The text of a name the host's events carry, made once: the same few
    // names come with every event.
    MSRPText hostName(const std::string& name);
    static MSRPEvent eventFrom(const WorkingEvent& working);
    // Whether the working event still is `event` (as eventsEqual compares).
    static bool isUnchanged(const WorkingEvent& working, const MSRPEvent& event);

    // Its entities up to kMaxProgramEntities + 1, counted in place.
    static size_t entityCount(MSRPBMessageView program);
    bool loadActivity(MSRPBMessageView activity, MSRError* error);
    bool registerRule(const std::string& name, const MSRPValue& rule, MSRError* error);
    // An error of this run, in the editing domain when one was raised.
    bool finish(const MSRError& failure, MSRError* error);
    bool triggerCallbacks(MSRError* error);
    MSRPValue makeEventFunctions();
    MSRPValue registerCallback(MSRPExecution& execution, std::span<const MSRPValue> arguments);
    MSRPValue logEvent(MSRPExecution& execution, std::span<const MSRPValue> arguments);

    MSRPRuntime runtime_;
    MSRPEditingCallbackHandler callbacks_;
    // The event handed to the run under way (null outside one).
    const MSRPEvent* input_ = nullptr;
    // At most kMaxHostNames names of at most kMaxHostNameBytes each.
    static constexpr size_t kMaxHostNames = 256;
    static constexpr size_t kMaxHostNameBytes = 64;
    std::unordered_map<std::string, MSRPText> hostNames_;
    WorkingEvent working_;
    MSRPEventContext context_;
    // The object handed to callbacks; its methods work on the output event.
    MSRPValue eventFunctions_;
    int editingError_ = 0;
    int64_t refusedEvents_ = 0;
    int64_t createdBytes_ = 0;
    bool hasEdits_ = false;
    // The last load was refused for want of a hash key.
    bool refusedForKey_ = false;
    // limitNextRun's seconds; negative for none.
    double nextRunLimit_ = -1;
};
