#pragma once
// The event editor the measurement engine gets from its component registry:
// one interpreter runtime per loaded program. Loading runs the program's top
// level; each event resets the instruction budget and collects garbage
// afterwards. The program-visible modules ("require", the callback and
// logger modules) and the edit and create callbacks plug in here: until they
// do, no program can register a callback, so events pass unedited.

#include <map>
#include <string>

#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/model/MSRPEventEditing.h"

class MSRPInterpreterEventEditing final : public MSRPEventEditing {
  public:
    MSRPInterpreterEventEditing() = default;

    void setModuleCreator(ModuleCreator creator, const std::string& name) override;
    // Runs the top-level statements; an interpreter error, or editing error 5
    // when the last one yields break, continue or return.
    bool loadProgram(const MSRPBProgram& program, MSRError* error) override;
    bool handleEvent(const MSRPEvent& event, MSRError* error) override;
    bool hasEdits() const override { return hasEdits_; }
    bool hasCreatedEvents() const override { return !context_.eventsToLog.empty(); }
    const MSRPEventContext& eventContext() const override { return context_; }

    MSRPRuntime& runtime() { return runtime_; }
    const std::map<std::string, ModuleCreator>& moduleCreators() const { return moduleCreators_; }

    // Editing error 5: the top level ended on a control value.
    static constexpr int kEditingErrorControlValue = 5;

  private:
    MSRPRuntime runtime_;
    std::map<std::string, ModuleCreator> moduleCreators_;
    MSRPEventContext context_;
    bool hasEdits_ = false;
};
