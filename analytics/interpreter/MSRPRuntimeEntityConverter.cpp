#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPObjectManager.h"
#include "analytics/messages/MSRPBRuntime.h"

namespace {

enum EntityField : uint32_t { kType = 0, kChildren = 1, kFunctionName = 2, kStringValue = 3, kBoolValue = 4, kNumberValue = 5 };

// Read in place, each entity charged before it is built: a program's load is
// a run like any other.
MSRPValue fromEntity(MSRPBMessageView entity, int depth, int* error) {
    if (!MSRPWork::charge(MSRPWork::kBytesPerInstruction)) {
        MSRPSetError(error, MSRPErrorCode::kInstructionBudget);
        return MSRPValue();
    }
    switch (entity.int32(kType)) {
        case 1: return MSRPValue::string(MSRPText::make(entity.text(kStringValue).value_or("")));
        case 2:
            return MSRPValue::number(entity.hasField(kNumberValue) ? entity.number(kNumberValue)
                                                                   : std::numeric_limits<double>::quiet_NaN());
        case 3: return MSRPValue::boolean(entity.boolean(kBoolValue));
        case 4: {
            std::optional<std::string_view> name = entity.text(kFunctionName);
            if (!name) {
                MSRPSetError(error, MSRPErrorCode::kUnnamedStatement);
                return MSRPValue();
            }
            // Decoded messages nest no deeper than the decoder allows; a tree
            // built otherwise is held to the same kind of bound.
            if (depth > MSRPRuntimeEntityConverter::kMaxNesting) {
                MSRPSetError(error, MSRPErrorCode::kUnknownEntityType);
                return MSRPValue();
            }
            std::vector<MSRPValue> arguments;
            arguments.reserve(entity.elementCount(kChildren));
            entity.forEachElement(kChildren, [&](MSRPBMessageView child) {
                arguments.push_back(fromEntity(child, depth + 1, error));
                return !(error && *error);
            });
            if (error && *error) return MSRPValue();
            return MSRPValue(new MSRPStatementValue(MSRPText::make(*name), std::move(arguments)));
        }
        default: MSRPSetError(error, MSRPErrorCode::kUnknownEntityType); return MSRPValue();
    }
}

MSRPValue fromObject(const foundation::Value& object, MSRPObjectManager* manager, int depth, int* error) {
    using Type = foundation::Value::Type;
    if (depth > MSRPRuntimeEntityConverter::kMaxNesting) {
        MSRPSetError(error, MSRPErrorCode::kNoInterpreterForm);
        return MSRPValue();
    }
    switch (object.type()) {
        case Type::Absent:
        case Type::Null: return MSRPValue::null();
        case Type::Bool: return MSRPValue::boolean(*object.boolValue());
        case Type::Integer:
        case Type::Double: return MSRPValue::number(*object.doubleValue());
        case Type::String: return MSRPValue::string(*object.string());
        case Type::Dictionary: {
            MSRPRef<MSRPMapValue> map = MSRPObjectManager::mapValue(manager);
            for (const auto& [name, member] : *object.dictionary()) {
                MSRPValue value = fromObject(member, manager, depth + 1, error);
                if (error && *error) return MSRPValue();
                map->setValue(value, name);
            }
            return MSRPValue(map);
        }
        case Type::List: {
            std::vector<MSRPValue> elements;
            for (const foundation::Value& element : *object.list()) {
                elements.push_back(fromObject(element, manager, depth + 1, error));
                if (error && *error) return MSRPValue();
            }
            return MSRPValue(MSRPObjectManager::arrayValueWithArray(std::move(elements), manager));
        }
        case Type::Bytes:
        case Type::Date: break;
    }
    MSRPSetError(error, MSRPErrorCode::kNoInterpreterForm);
    return MSRPValue();
}

struct ToObject {
    int* error;
    // The maps and arrays being converted, innermost last.
    std::vector<const MSRPRuntimeValue*> open;

    bool enter(const MSRPValue& value) {
        if (open.size() >= static_cast<size_t>(MSRPRuntimeEntityConverter::kMaxNesting) ||
            std::find(open.begin(), open.end(), value.object()) != open.end()) {
            MSRPSetError(error, MSRPErrorCode::kArgumentKind);
            return false;
        }
        open.push_back(value.object());
        return true;
    }

    foundation::Value convert(const MSRPValue& value) {
        switch (value.kind()) {
            case MSRPValueKind::Null: return foundation::Value();
            case MSRPValueKind::Undefined: return foundation::Value(std::string());
            case MSRPValueKind::Map: {
                if (!enter(value)) return foundation::Value();
                foundation::Value::Dictionary dictionary;
                for (const MSRPPropertyMap::Entry& entry : value.map()->propertyMap().entries()) {
                    foundation::Value member = convert(entry.value);
                    if (*error) break;
                    if (!member.isAbsent()) dictionary[entry.name.str()] = std::move(member);
                }
                open.pop_back();
                return foundation::Value(std::move(dictionary));
            }
            case MSRPValueKind::Array: {
                if (!enter(value)) return foundation::Value();
                foundation::Value::List list;
                for (const MSRPValue& element : value.array()->allElements()) {
                    foundation::Value converted = convert(element);
                    if (*error) break;
                    if (!converted.isAbsent()) list.push_back(std::move(converted));
                }
                open.pop_back();
                return foundation::Value(std::move(list));
            }
            default: break;
        }
        int inner = 0;
        double number = value.doubleValueOrError(&inner);
        if (inner) {
            MSRPSetError(error, MSRPErrorCode::kNoTextForm);
            return foundation::Value();
        }
        if (!std::isnan(number)) return foundation::Value(number);
        MSRPText text = value.stringValueOrError(error);
        if (*error) return foundation::Value();
        return foundation::Value(text.str());
    }
};

}  // namespace

MSRPValue MSRPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const MSRPBRuntimeEntity& entity, int* error) {
    return fromEntity(MSRPBMessageView(entity), 0, error);
}

MSRPValue MSRPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(MSRPBMessageView entity, int* error) {
    return fromEntity(entity, 0, error);
}

size_t MSRPRuntimeEntityConverter::entityCount(MSRPBMessageView entity, size_t most) {
    // A list of the entities still to visit, not recursion: a tree built in
    // memory may nest deeper than any decoded one.
    std::vector<MSRPBMessageView> pending{entity};
    size_t count = 0;
    while (!pending.empty() && count <= most) {
        const MSRPBMessageView next = pending.back();
        pending.pop_back();
        ++count;
        next.forEachElement(kChildren, [&](MSRPBMessageView child) {
            pending.push_back(child);
            return count + pending.size() <= most + 1;
        });
    }
    return std::min(count + pending.size(), most + 1);
}

MSRPValue MSRPRuntimeEntityConverter::runtimeValueFromObject(const foundation::Value& object,
                                                             MSRPObjectManager* manager, int* error) {
    return fromObject(object, manager, 0, error);
}

foundation::Value MSRPRuntimeEntityConverter::objectFromRuntimeValue(const MSRPValue& value, int* error) {
    int inner = 0;
    ToObject converter{&inner, {}};
    foundation::Value result = converter.convert(value);
    MSRPSetError(error, inner);
    return result;
}

int64_t MSRPRuntimeEntityConverter::expandedBytes(const MSRPValue& root, int64_t limit) {
    constexpr int64_t kHandle = sizeof(foundation::Value);
    auto leaf = [](const MSRPValue& value) -> int64_t {
        if (value.isString()) return kHandle + static_cast<int64_t>(value.text().size());
        if (const MSRPFunctionValue* function = value.function())
            return kHandle + static_cast<int64_t>(function->functionName().size());
        return kHandle;
    };
    if (!root.isArray() && !root.isMap()) return std::min(leaf(root), limit + 1);
    // The size of each container once known (-1 while it is being walked: a
    // cycle, which the conversion refuses).
    std::unordered_map<const MSRPRuntimeValue*, int64_t, std::hash<const MSRPRuntimeValue*>, std::equal_to<>,
                       MSRPMemory::Allocator<std::pair<const MSRPRuntimeValue* const, int64_t>>>
        sizes;
    struct Frame {
        MSRPValue value;
        size_t next;
        int64_t bytes;
    };
    MSRPMemory::List<Frame> stack;
    auto open = [&](const MSRPValue& value) {
        sizes.emplace(value.object(), -1);
        stack.push_back(Frame{value, 0, kHandle});
    };
    open(root);
    size_t pending = 0;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        const MSRPValue* child = nullptr;
        if (const MSRPArrayValue* array = frame.value.array()) {
            if (frame.next < array->count()) child = &array->elements()[frame.next];
        } else {
            const auto& entries = frame.value.map()->propertyMap().entries();
            if (frame.next < entries.size()) {
                child = &entries[frame.next].value;
                frame.bytes += kHandle + static_cast<int64_t>(entries[frame.next].name.size());
            }
        }
        if (!child) {
            const int64_t bytes = frame.bytes;
            sizes[frame.value.object()] = bytes;
            stack.pop_back();
            if (stack.empty()) return bytes;
            stack.back().bytes += bytes;
            if (stack.back().bytes > limit) return limit + 1;
            continue;
        }
        ++frame.next;
        pending += sizeof(MSRPValue);
        if (pending >= MSRPWork::kChunk) {
            if (!MSRPWork::charge(static_cast<int64_t>(pending))) return limit + 1;
            pending = 0;
        }
        if (child->isArray() || child->isMap()) {
            auto found = sizes.find(child->object());
            if (found == sizes.end()) {
                open(*child);  // `frame` is not used after this
                continue;
            }
            frame.bytes += std::max<int64_t>(found->second, 0);
        } else {
            frame.bytes += leaf(*child);
        }
        // A container holds at least what any of its parts does.
        if (frame.bytes > limit) return limit + 1;
    }
    return limit + 1;
}
