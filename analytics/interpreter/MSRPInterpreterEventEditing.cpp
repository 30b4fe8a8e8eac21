#include "analytics/interpreter/MSRPInterpreterEventEditing.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPHostModules.h"
#include "analytics/interpreter/MSRPNativeFunctionValue.h"
#include "analytics/interpreter/MSRPObjectValue.h"
#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"
#include "analytics/support/MSRError.h"
#include "analytics/support/MSRMonitor.h"

namespace {

int64_t truncatedInteger(double number) {
    if (std::isnan(number)) return 0;
    if (number >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (number <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(number);
}

bool isNumber(const foundation::Value& value) {
    return value.type() == foundation::Value::Type::Integer || value.type() == foundation::Value::Type::Double;
}

// What a host's value holds beyond its handle.
int64_t heldBytes(const foundation::Value& value) {
    int64_t bytes = sizeof(foundation::Value);
    if (const std::string* text = value.string()) bytes += static_cast<int64_t>(text->capacity());
    if (const foundation::Value::List* list = value.list())
        for (const foundation::Value& element : *list) bytes += heldBytes(element);
    if (const foundation::Value::Dictionary* dictionary = value.dictionary())
        for (const auto& [name, member] : *dictionary)
            bytes += static_cast<int64_t>(name.capacity()) + heldBytes(member);
    return bytes;
}

// Copying the working event makes one node per parameter: so many bytes a
// parameter, as the charge point reads them.
constexpr int64_t kParameterCopyBytes = 64;
// Converting a parameter's value into a program value and binding it in a
// map takes about as long as a dozen evaluations
// (event_editing_bench: BM_EventEditing_CostlyCallback).
constexpr int64_t kParameterConversionBytes = 12 * MSRPWork::kBytesPerInstruction;

}  // namespace

// What the working event holds, by which each copy of it is charged: its
// texts and values are shared, but a copy stands for all of them.
int64_t MSRPInterpreterEventEditing::WorkingEvent::bytes() const {
    int64_t bytes = static_cast<int64_t>(name.size());
    for (const Parameter& parameter : parameters)
        bytes += static_cast<int64_t>(parameter.name.size()) + parameter.bytes() + kParameterCopyBytes;
    return bytes;
}

MSRPInterpreterEventEditing::Parameters::iterator MSRPInterpreterEventEditing::WorkingEvent::place(
    MSRPExecution& execution, const MSRPText& name) {
    // A binary search: an instruction for each comparison it makes.
    if (!execution.charge(static_cast<int64_t>(std::bit_width(parameters.size())) * MSRPWork::kBytesPerInstruction))
        return parameters.end();
    return std::lower_bound(parameters.begin(), parameters.end(), name,
                            [](const Parameter& parameter, const MSRPText& sought) {
                                return MSRPCompareTexts(parameter.name, sought) < 0;
                            });
}

int64_t MSRPInterpreterEventEditing::WorkingEvent::conversionBytes(const Parameter& parameter) {
    // A value the program set was measured then; the host's own are flat:
    // a number, or a text read once.
    if (parameter.set) return kParameterConversionBytes + parameter.set->bytes();
    const std::string* text = parameter.value->string();
    return kParameterConversionBytes + (text ? static_cast<int64_t>(text->size()) : 0);
}

MSRPInterpreterEventEditing::StoredValue::StoredValue(foundation::Value value, int64_t bytes)
    : value_(std::move(value)), bytes_(bytes) {
    MSRPMemory::add(bytes_);
}

MSRPInterpreterEventEditing::StoredValue::~StoredValue() { MSRPMemory::add(-bytes_); }

MSRPText MSRPInterpreterEventEditing::hostName(const std::string& name) {
    if (name.size() > kMaxHostNameBytes) return MSRPText::make(name);
    if (auto found = hostNames_.find(name); found != hostNames_.end()) return found->second;
    MSRPText text = MSRPText::make(name);
    if (hostNames_.size() < kMaxHostNames) hostNames_.emplace(name, text);
    return text;
}

MSRPInterpreterEventEditing::WorkingEvent MSRPInterpreterEventEditing::workingEventFrom(const MSRPEvent& event) {
    WorkingEvent working{hostName(event.name()), event.timestamp(), {}};
    working.parameters.reserve(event.parameters().size());
    for (const auto& [name, value] : event.parameters()) working.parameters.push_back({hostName(name), &value, {}});
    return working;
}

MSRPEvent MSRPInterpreterEventEditing::eventFrom(const WorkingEvent& working) {
    foundation::Value::Dictionary parameters;
    for (const Parameter& parameter : working.parameters)
        parameters.emplace_hint(parameters.end(), parameter.name.str(), *parameter.value);
    return MSRPEvent(working.name.str(), working.timestamp, std::move(parameters));
}

bool MSRPInterpreterEventEditing::isUnchanged(const WorkingEvent& working, const MSRPEvent& event) {
    if (std::fabs(working.timestamp - event.timestamp()) > std::numeric_limits<double>::epsilon()) return false;
    if (!(working.name == std::string_view(event.name()))) return false;
    if (working.parameters.size() != event.parameters().size()) return false;
    auto theirs = event.parameters().begin();
    // Both are ordered by their names' bytes.
    for (const Parameter& parameter : working.parameters) {
        const foundation::Value& value = *parameter.value;
        if (!(parameter.name == std::string_view(theirs->first))) return false;
        if (isNumber(value) && value.type() != theirs->second.type()) return false;
        if (!(value == theirs->second)) return false;
        ++theirs;
    }
    return true;
}

MSRPInterpreterEventEditing::MSRPInterpreterEventEditing() {
    runtime_.setTimeLimit(kTimeLimit);
    // The callbacks' event methods always have an event to work on.
    context_.outputEvent = MSRPEvent("", 0, {});
    runtime_.addGarbageCollectionRoot(&callbacks_);
    runtime_.moduleProvider().setModuleCreator(
        [this]() -> MSRPValue {
            return MSRPValue(MSRPNativeFunctionValue::make(
                "internal.registerCallback",
                [this](MSRPExecution& execution, std::span<const MSRPValue> arguments) {
                    return registerCallback(execution, arguments);
                }));
        },
        "internal.registerCallback");
    runtime_.moduleProvider().setModuleCreator(
        [this]() -> MSRPValue {
            return MSRPValue(MSRPNativeFunctionValue::make(
                "internal.eventLogger", [this](MSRPExecution& execution, std::span<const MSRPValue> arguments) {
                    return logEvent(execution, arguments);
                }));
        },
        "internal.eventLogger");
    eventFunctions_ = makeEventFunctions();
}

MSRPInterpreterEventEditing::~MSRPInterpreterEventEditing() { runtime_.removeGarbageCollectionRoot(&callbacks_); }

std::string MSRPInterpreterEventEditing::failureReason() const {
    if (refusedForKey_) return "no hash key";
    // The one run's limit is what its batch had left.
    if (runtime_.lastStop() == MSRPErrorCode::kRunLimit) return "time per batch";
    return MSRPRuntime::stopDescription(runtime_.lastStop());
}

void MSRPInterpreterEventEditing::stopRunsWithin(double seconds) {
    runtime_.stopRunsWithin(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(std::clamp(seconds, 0.0, 1e6))));
}

void MSRPInterpreterEventEditing::setModuleCreator(ModuleCreator creator, const std::string& name) {
    runtime_.moduleProvider().setModuleCreator(
        [creator = std::move(creator)]() -> MSRPValue {
            return creator ? MSRPRuntimeValueForHostModule(creator()) : MSRPValue();
        },
        name);
}

bool MSRPInterpreterEventEditing::finish(const MSRError& failure, MSRError* error) {
    if (failure.code() == 0 && editingError_ == 0) return true;
    if (error) *error = editingError_ ? MSRError(MSRPEditingErrorDomain, editingError_) : failure;
    editingError_ = 0;
    return false;
}

size_t MSRPInterpreterEventEditing::entityCount(MSRPBMessageView program) {
    constexpr size_t kMost = kMaxProgramEntities;
    size_t count = 0;
    auto add = [&](MSRPBMessageView entity) {
        count += MSRPRuntimeEntityConverter::entityCount(entity, kMost - std::min(count, kMost));
        return count <= kMost;
    };
    if (program.forEachElement(0, add)) {
        program.message(1).forEachElement(0, [&](MSRPBMessageView activity) { return activity.forEachElement(1, add); });
    }
    return std::min(count, kMost + 1);
}

bool MSRPInterpreterEventEditing::loadProgram(const MSRPBProgram& program, MSRError* error) {
    return loadProgramInPlace(MSRPBMessageView(program), error);
}

bool MSRPInterpreterEventEditing::loadProgramInPlace(MSRPBMessageView view, MSRError* error) {
    // Everything the load makes or drops counts on the runtime's account.
    MSRPMemory::UseAccount account(runtime_.memoryAccount());
    // Without the process's key every name hashes as a server could compute
    // ahead: no program runs, and the engine runs on without one.
    refusedForKey_ = !MSRPText::hasHashKey();
    if (refusedForKey_) {
        MSRMonitor::shared()->logWithLevel(
            1, kNoHashKeyMessageCode,
            "Event editing program refused. The system gave no random bytes for the hash key (getrandom, /dev/urandom)");
        if (error) *error = MSRError(MSRPEditingErrorDomain, kEditingErrorNoHashKey);
        return false;
    }
    // The program is read where it is, and counted before any of it is
    // built: the load is a run like an event's, charged an instruction an
    // entity as it converts them.
    if (entityCount(view) > kMaxProgramEntities) {
        if (error) *error = MSRError(MSRPEditingErrorDomain, kEditingErrorTooManyEntities);
        return false;
    }
    runtime_.startTimeGuard();
    MSRError failure;
    editingError_ = 0;
    MSRPValue last = runtime_.executeStatements(view, 0, &failure);
    if (!finish(failure, error)) return false;
    if (last.isControl()) {
        if (error) *error = MSRError(MSRPEditingErrorDomain, kEditingErrorControlValue);
        return false;
    }
    const bool loaded = view.message(1).forEachElement(
        0, [&](MSRPBMessageView activity) { return loadActivity(activity, error); });
    if (!loaded) return false;
    runtime_.collectGarbageWhenDue();
    return true;
}

bool MSRPInterpreterEventEditing::loadActivity(MSRPBMessageView activity, MSRError* error) {
    const std::string name(activity.text(0).value_or(""));
    return activity.forEachElement(1, [&](MSRPBMessageView entity) {
        MSRError failure;
        MSRPValue rule = runtime_.executeStatement(entity, &failure);
        if (!finish(failure, error)) return false;
        if (!rule.isMap()) {
            if (error) *error = MSRError(MSRPEditingErrorDomain, kEditingErrorRuleNotMap);
            return false;
        }
        return registerRule(name, rule, error);
    });
}

bool MSRPInterpreterEventEditing::registerRule(const std::string& name, const MSRPValue& rule, MSRError* error) {
    MSRPRef<MSRPScope> scope = runtime_.getRunScope();
    const MSRPValue* bound = scope->lookup(name);
    if (!bound || !bound->isFunction()) {
        if (error) *error = MSRError(MSRPEditingErrorDomain, kEditingErrorNoRule);
        return false;
    }
    MSRPRef<MSRPFunctionValue> function(bound->function());
    MSRError failure;
    runtime_.invokeFunction(*function, std::span<const MSRPValue>(&rule, 1), &failure);
    return finish(failure, error);
}

MSRPValue MSRPInterpreterEventEditing::registerCallback(MSRPExecution& execution,
                                                        std::span<const MSRPValue> arguments) {
    if (!MSRPCheckArgumentCount(arguments.size(), 3, execution.errorSlot())) return MSRPValue();
    if (!arguments[1].isFunction() || !arguments[2].isMap()) return execution.fail(MSRPErrorCode::kArgumentKind);
    const MSRPMapValue& options = *arguments[2].map();
    auto failEditing = [&](int code) {
        editingError_ = code;
        return execution.fail(code);
    };
    if (!options.hasProperty("type")) return failEditing(kEditingErrorNoType);
    MSRPText type = options.valueForProperty("type").stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    int32_t priority = MSRPEditingCallbackHandler::kDefaultPriority;
    if (options.hasProperty("priority")) {
        double number = options.valueForProperty("priority").doubleValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        priority = MSRPToInt32(number);
    }
    if (int code = callbacks_.registerWithPriority(priority, arguments[1], type)) return failEditing(code);
    return MSRPValue();
}

MSRPValue MSRPInterpreterEventEditing::logEvent(MSRPExecution& execution, std::span<const MSRPValue> arguments) {
    if (!MSRPCheckArgumentCount(arguments.size(), 3, execution.errorSlot())) return MSRPValue();
    MSRPText name = arguments[0].stringValueOrError(execution.errorSlot());
    double timestamp = MSRPToInteger(arguments[1].doubleValueOrError(execution.errorSlot()));
    if (execution.failed()) return MSRPValue();
    if (!arguments[2].isMap()) return execution.fail(MSRPErrorCode::kArgumentKind);
    // An event past the count is refused before anything is measured. Texts
    // are measured before the event is copied out of the program, its name
    // included: an event beyond the bytes of one input event is refused
    // without a copy. Every member is measured as the copy would expand it,
    // so that a value shared many times over is refused before it is
    // copied, and the walk is charged by the members it visits.
    if (context_.eventsToLog.size() >= kMaxCreatedEvents) {
        ++refusedEvents_;
        return MSRPValue();
    }
    int64_t bytes = static_cast<int64_t>(name.size());
    for (const MSRPPropertyMap::Entry& entry : arguments[2].map()->propertyMap().entries()) {
        if (!execution.charge(MSRPWork::kBytesPerInstruction)) return MSRPValue();
        bytes += static_cast<int64_t>(entry.name.size()) +
                 MSRPRuntimeEntityConverter::expandedBytes(entry.value, kMaxCreatedEventBytes);
        if (execution.failed()) return MSRPValue();
        if (bytes > kMaxCreatedEventBytes) break;
    }
    if (createdBytes_ + bytes > kMaxCreatedEventBytes) {
        ++refusedEvents_;
        return MSRPValue();
    }
    // The copy is charged and given room before it is made.
    if (!execution.charge(bytes) || !execution.reserve(bytes)) return MSRPValue();
    createdBytes_ += bytes;
    foundation::Value::Dictionary parameters;
    for (const MSRPPropertyMap::Entry& entry : arguments[2].map()->propertyMap().entries()) {
        foundation::Value value = MSRPRuntimeEntityConverter::objectFromRuntimeValue(entry.value, execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        if (value.isAbsent()) continue;
        std::string parameterName = entry.name.str();
        const foundation::Value* current = nullptr;
        if (input_) {
            auto found = input_->parameters().find(parameterName);
            if (found != input_->parameters().end()) current = &found->second;
        }
        foundation::Value stored =
            normalizeParameterValue(parameterName, current ? *current : foundation::Value(), value);
        parameters.insert_or_assign(std::move(parameterName), std::move(stored));
    }
    context_.eventsToLog.emplace_back(name.str(), timestamp, std::move(parameters));
    return MSRPValue();
}

MSRPValue MSRPInterpreterEventEditing::makeEventFunctions() {
    // Untracked, like every native: it lives as long as the editor.
    MSRPRef<MSRPMapValue> functions = MSRPObjectManager::mapValue(nullptr);
    auto add = [&](const char* name, size_t count, MSRPNativeFunctionValue::Body body) {
        functions->setValue(MSRPValue(MSRPNativeFunctionValue::make(
                                name,
                                [count, body = std::move(body)](MSRPExecution& execution,
                                                                std::span<const MSRPValue> arguments) {
                                    if (!MSRPCheckArgumentCount(arguments.size(), count, execution.errorSlot()))
                                        return MSRPValue();
                                    return body(execution, arguments);
                                })),
                            name);
    };
    // They work on the working event: its texts are shared with the
    // program both ways, never copied.
    add("getEventName", 0, [this](MSRPExecution&, std::span<const MSRPValue>) {
        return MSRPValue::string(working_.name);
    });
    add("getTimestamp", 0, [this](MSRPExecution&, std::span<const MSRPValue>) {
        return MSRPValue::number(working_.timestamp);
    });
    add("getParamValue", 1, [this](MSRPExecution& execution, std::span<const MSRPValue> arguments) {
        MSRPText name = arguments[0].stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        auto found = working_.place(execution, name);
        if (execution.failed()) return MSRPValue();
        if (found == working_.parameters.end() || !(found->name == name)) return MSRPValue::null();
        if (execution.failed() || !execution.charge(WorkingEvent::conversionBytes(*found))) return MSRPValue();
        return MSRPRuntimeEntityConverter::runtimeValueFromObject(*found->value, execution.objectManager,
                                                                  execution.errorSlot());
    });
    add("getParams", 0, [this](MSRPExecution& execution, std::span<const MSRPValue>) {
        MSRPRef<MSRPMapValue> map = MSRPObjectManager::mapValue(execution.objectManager);
        map->propertyMap().reserve(working_.parameters.size());
        // Each parameter is charged as it is converted, and the map charges
        // its own searches: the names are distinct, so each is one probe.
        for (const Parameter& parameter : working_.parameters) {
            if (!execution.charge(WorkingEvent::conversionBytes(parameter))) return MSRPValue();
            MSRPValue converted = MSRPRuntimeEntityConverter::runtimeValueFromObject(
                *parameter.value, execution.objectManager, execution.errorSlot());
            if (execution.failed()) return MSRPValue();
            map->setValue(converted, parameter.name);
            if (execution.failed()) return MSRPValue();
        }
        return MSRPValue(map);
    });
    add("setEventName", 1, [this](MSRPExecution& execution, std::span<const MSRPValue> arguments) {
        if (arguments[0].isNull() || arguments[0].isUndefined()) return execution.fail(MSRPErrorCode::kArgumentKind);
        MSRPText name = arguments[0].stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        working_.name = name;
        return MSRPValue::string(std::move(name));
    });
    add("setParamValue", 2, [this](MSRPExecution& execution, std::span<const MSRPValue> arguments) {
        MSRPText name = arguments[0].stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        // The copy into the event is not a program value: a value larger
        // than all the events one event may create is refused before it.
        // Measured as the copy would expand it, and the copy charged and
        // given room before it is made.
        const int64_t bytes = MSRPRuntimeEntityConverter::expandedBytes(arguments[1], kMaxCreatedEventBytes);
        if (execution.failed()) return MSRPValue();
        if (bytes > kMaxCreatedEventBytes) return execution.fail(MSRPErrorCode::kMemoryLimit);
        if (!execution.charge(bytes) || !execution.reserve(bytes)) return MSRPValue();
        foundation::Value value = MSRPRuntimeEntityConverter::objectFromRuntimeValue(arguments[1], execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        // Found by its place, which is also where a new one goes.
        Parameters& parameters = working_.parameters;
        auto place = working_.place(execution, name);
        const bool present = place != parameters.end() && place->name == name;
        if (execution.failed()) return MSRPValue();
        // The parameters after the place move by one either way: paid for
        // before they move, so that a stop leaves the list as it was.
        const auto moved = static_cast<int64_t>((parameters.end() - place) * sizeof(Parameter));
        if (value.isAbsent()) {
            if (present && execution.charge(moved)) parameters.erase(place);
        } else {
            if (!present && parameters.size() >= kMaxEventParameters)
                return execution.fail(MSRPErrorCode::kEventParameters);
            if (!present && !execution.charge(moved)) return MSRPValue();
            foundation::Value stored =
                normalizeParameterValue(name, present ? *place->value : foundation::Value(), value);
            const int64_t held = heldBytes(stored);
            auto made = MSRPRef<StoredValue>::make(std::move(stored), held);
            Parameter parameter{name, &made->value(), made};
            if (present) {
                *place = std::move(parameter);
            } else {
                parameters.insert(place, std::move(parameter));
            }
        }
        return arguments[1];
    });
    return MSRPValue(functions);
}

foundation::Value MSRPInterpreterEventEditing::normalizeParameterValue(std::string_view name,
                                                                       const foundation::Value& current,
                                                                       const foundation::Value& value) {
    if (!isNumber(value)) return value;
    double number = *value.doubleValue();
    if (name == "_syn" || name == "_err" || name == "_el") return foundation::Value(truncatedInteger(number));
    if (current.type() == foundation::Value::Type::Double) return value;
    if (current.type() == foundation::Value::Type::Integer) {
        if (!name.empty() && name[0] == '_') return value;
        return foundation::Value(truncatedInteger(number));
    }
    if (current.string()) {
        if (auto integer = value.integerValue()) return foundation::Value(std::to_string(*integer));
        return foundation::Value(MSRPNumberToString(number));
    }
    return value;
}

bool MSRPInterpreterEventEditing::eventsEqual(const MSRPEvent& a, const MSRPEvent& b) {
    if (&a == &b) return true;
    if (std::fabs(a.timestamp() - b.timestamp()) > std::numeric_limits<double>::epsilon()) return false;
    if (a.name() != b.name()) return false;
    if (a.parameters().size() != b.parameters().size()) return false;
    for (const auto& [name, value] : a.parameters()) {
        auto other = b.parameters().find(name);
        if (other == b.parameters().end()) return false;
        if (isNumber(value) && value.type() != other->second.type()) return false;
        if (!(value == other->second)) return false;
    }
    return true;
}

bool MSRPInterpreterEventEditing::triggerCallbacks(MSRError* error) {
    // Each call passes the charge point first, with the copy of the event
    // its edits may be undone to: whatever the callback does, a thousand of
    // them are charged, and the clock is read between them.
    auto invoke = [&](const MSRPValue& callback, int64_t copied, MSRError* failure) -> int32_t {
        MSRPRef<MSRPFunctionValue> function(callback.function());
        MSRPValue answer = runtime_.invokeCallback(*function, std::span<const MSRPValue>(&eventFunctions_, 1),
                                                   copied, failure);
        if (failure->code() != 0) return 2;
        return answer.isNumber() ? MSRPToInt32(answer.numberValue()) : -1;
    };
    for (const auto& [priority, callback] : callbacks_.editCallbacks()) {
        const int64_t copied = working_.bytes();
        WorkingEvent saved = working_;
        MSRError failure;
        int32_t answer = invoke(callback, copied, &failure);
        if (failure.code() != 0) return finish(failure, error);
        if (answer == 2 || answer == -1) working_ = std::move(saved);
    }
    for (const auto& [priority, callback] : callbacks_.createCallbacks()) {
        MSRError failure;
        invoke(callback, 0, &failure);
        if (failure.code() != 0) return finish(failure, error);
    }
    return true;
}

bool MSRPInterpreterEventEditing::handleEvent(const MSRPEvent& event, MSRError* error) {
    MSRPMemory::UseAccount account(runtime_.memoryAccount());
    refusedEvents_ = 0;
    createdBytes_ = 0;
    input_ = &event;
    working_ = workingEventFrom(event);
    context_.eventsToLog.clear();
    hasEdits_ = false;
    editingError_ = 0;
    runtime_.resetInstructionCount();
    if (nextRunLimit_ >= 0) {
        runtime_.shortenTimeGuard(std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(std::min(nextRunLimit_, 1e6))));
        nextRunLimit_ = -1;
    }
    // A collection the last event could not pay for is paid first.
    if (runtime_.objectManager().collectionOwed()) runtime_.collectGarbageWhenDue();
    bool succeeded = triggerCallbacks(error);
    // The host's event is made once, from what the callbacks left: a failed
    // run leaves the event as it was.
    const bool unchanged = !succeeded || isUnchanged(working_, event);
    context_.outputEvent = unchanged ? event : eventFrom(working_);
    working_ = WorkingEvent();
    input_ = nullptr;
    // Within what is left of the event's budget and time: a program that
    // keeps much is not walked again for nothing, nor outside its bounds.
    runtime_.collectGarbageWhenDue();
    if (!succeeded) return false;
    hasEdits_ = !unchanged;
    return hasEdits_ || hasCreatedEvents();
}
