#pragma once
// What the measurement engine asks of the event-editing interpreter: load the
// server's program, run its edit and create callbacks on one event and say
// what came of it. The interpreter itself is built elsewhere and installs a
// factory here; until one is installed no program can be loaded and events
// pass unedited.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBMessageView.h"
#include "analytics/messages/MSRPBWireBounds.h"
#include "analytics/model/MSRPEvent.h"
#include "platform/foundation/Value.h"

class MSRError;
class MSRPBProgram;

// A native module that a program loads by name.
class MSRPModule {
  public:
    virtual ~MSRPModule() = default;
};

// A module whose one function answers lookups of a key.
class MSRPKeyValueStore : public MSRPModule {
  public:
    using GetValueBlock = std::function<std::optional<std::string>(const std::string& key)>;
    MSRPKeyValueStore(std::string functionName, GetValueBlock getValueBlock)
        : functionName_(std::move(functionName)), getValueBlock_(std::move(getValueBlock)) {}
    const std::string& functionName() const { return functionName_; }
    std::optional<std::string> valueForKey(const std::string& key) const {
        return getValueBlock_ ? getValueBlock_(key) : std::nullopt;
    }

  private:
    std::string functionName_;
    GetValueBlock getValueBlock_;
};

// A module that exposes a dictionary, built afresh on each read.
class MSRPObjectProvider : public MSRPModule {
  public:
    using Block = std::function<foundation::Value::Dictionary()>;
    MSRPObjectProvider(std::string name, Block block) : name_(std::move(name)), block_(std::move(block)) {}
    const std::string& name() const { return name_; }
    foundation::Value::Dictionary object() const { return block_ ? block_() : foundation::Value::Dictionary{}; }

  private:
    std::string name_;
    Block block_;
};

// The logger a program writes through.
class MSRPicoLogger {
  public:
    virtual ~MSRPicoLogger() = default;
    virtual void log(const std::string& message);
    // A program's log line at its own level (4 by default), to the monitor
    // with code 24005.
    virtual void logWithLevel(int64_t level, const std::string& message, const std::vector<std::string>& context,
                              bool silent, bool monitored);
    // The monitor level of a program's level: 2 and 3 are the debug levels,
    // 5 warnings and 6 errors, quieter when silent or unmonitored.
    static int64_t monitorLevel(int64_t level, bool silent, bool monitored);
};

class MSRPMessageLogger : public MSRPModule {
  public:
    explicit MSRPMessageLogger(std::shared_ptr<MSRPicoLogger> logger) : logger_(std::move(logger)) {}
    const std::shared_ptr<MSRPicoLogger>& logger() const { return logger_; }

  private:
    std::shared_ptr<MSRPicoLogger> logger_;
};

// The outcome of the last handled event: the event as edited and the events
// the program created (an "_o" parameter carries a created event's origin).
struct MSRPEventContext {
    std::optional<MSRPEvent> outputEvent;
    std::vector<MSRPEvent> eventsToLog;
};

class MSRPEventEditing {
  public:
    using ModuleCreator = std::function<std::shared_ptr<MSRPModule>()>;

    virtual ~MSRPEventEditing() = default;

    virtual void setModuleCreator(ModuleCreator creator, const std::string& name) = 0;
    // The most entities (literals and statements, its top level's and its
    // activities' together) one program may hold (why: MSRPBWireBounds.h).
    // A program of more is refused whole, counted before anything of it is
    // built: where its bytes arrive and again where it is loaded.
    static constexpr size_t kMaxProgramEntities = MSRPBWireMost::kProgramEntities;
    // Loads and runs the program's top level; false with the error on failure.
    virtual bool loadProgram(const MSRPBProgram& program, MSRError* error) = 0;
    // The same for a program read where it is (an element of a
    // configuration's list), which must outlive the call: an editor that
    // reads it in place copies nothing of it. By default a copy is loaded.
    virtual bool loadProgramInPlace(MSRPBMessageView program, MSRError* error);
    // Runs the edit and create callbacks; true when the event changed or
    // events were created; false with the error when the program failed.
    virtual bool handleEvent(const MSRPEvent& event, MSRError* error) = 0;
    virtual bool hasEdits() const = 0;
    virtual bool hasCreatedEvents() const = 0;
    virtual const MSRPEventContext& eventContext() const = 0;
    // Events the program tried to create for the last event beyond the
    // number one event may create.
    virtual int64_t refusedEventCount() const { return 0; }
    // Which of the program's bounds stopped the last failed run ("" when the
    // failure was another error).
    virtual std::string failureReason() const { return ""; }
    // From any thread: runs stop once `seconds` from now have passed, the
    // one under way included, and later ones fail at once. The end of the
    // process calls it, so that no program holds the events still to store.
    virtual void stopRunsWithin(double seconds) { (void)seconds; }
    // The next handleEvent's run stops once `seconds` from its start have
    // passed, if its own time guard has not stopped it first: what is left
    // of the time of the batch it belongs to.
    virtual void limitNextRun(double seconds) { (void)seconds; }
};
