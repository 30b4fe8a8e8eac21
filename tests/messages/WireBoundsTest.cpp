// The one table of wire bounds holds every repeated field of every message a
// server sends, at every depth, read from the messages' own field lists; and
// each bound takes an answer at it and refuses one past it with its code.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBMessageType.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/messages/NANOMessageBase.h"
#include "analytics/messages/NANOMessageInfo.h"

namespace {

using WireBytes = std::vector<uint8_t>;

bool wireIsRepeated(const MSRPBFieldSpec& field) {
    return (field.word & kMSRPBLabelRepeated) != 0;
}
bool wireIsMessage(const MSRPBFieldSpec& field) {
    return (field.word & kMSRPBKindMessage) != 0;
}

std::string wireFieldName(MSRPBMessageID message, uint32_t field) {
    const MSRPBMessageType& type = MSRPBMessageTypeFor(message);
    if (field >= type.fieldCount) return std::string(type.name) + ".<none>";
    return std::string(type.name) + "." + type.fields[field].name;
}

// One step from a message into one of its message fields.
struct WireStep {
    MSRPBMessageID message;
    uint32_t field;
};

// The shortest way from `root` to a message of type `target` (empty when
// `target` is the root), or nothing when it cannot be reached.
std::optional<std::vector<WireStep>> wirePathTo(MSRPBMessageID root, MSRPBMessageID target) {
    std::map<MSRPBMessageID, std::vector<WireStep>> reached{{root, {}}};
    std::deque<MSRPBMessageID> open{root};
    while (!open.empty()) {
        const MSRPBMessageID at = open.front();
        open.pop_front();
        if (at == target) return reached[at];
        const MSRPBMessageType& type = MSRPBMessageTypeFor(at);
        for (uint32_t i = 0; i < type.fieldCount; ++i) {
            if (!wireIsMessage(type.fields[i]) || reached.contains(type.fields[i].element)) continue;
            std::vector<WireStep> path = reached[at];
            path.push_back({at, i});
            reached[type.fields[i].element] = std::move(path);
            open.push_back(type.fields[i].element);
        }
    }
    return std::nullopt;
}

std::set<MSRPBMessageID> wireReachable(MSRPBMessageID root) {
    std::set<MSRPBMessageID> seen{root};
    std::vector<MSRPBMessageID> open{root};
    while (!open.empty()) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(open.back());
        open.pop_back();
        for (uint32_t i = 0; i < type.fieldCount; ++i)
            if (wireIsMessage(type.fields[i]) && seen.insert(type.fields[i].element).second)
                open.push_back(type.fields[i].element);
    }
    return seen;
}

void wireVarint(WireBytes& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

// One length-delimited occurrence of `field` holding `payload`.
void wireAppend(WireBytes& out, const MSRPBFieldSpec& field, const WireBytes& payload) {
    wireVarint(out, (uint64_t{field.tag} << 3) | 2);
    wireVarint(out, payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
}

const MSRPBFieldSpec& wireSpec(const WireStep& step) {
    return MSRPBMessageTypeFor(step.message).fields[step.field];
}

// An answer of `root` in which the messages at the end of `path` (as many as
// `holders` gives, each holding what `holderContent` makes of its position)
// sit inside one element of each step before them.
template <typename Content>
WireBytes wireAnswer(const std::vector<WireStep>& path, size_t holders, Content holderContent) {
    WireBytes inner;
    if (path.empty()) return holderContent(0);
    for (size_t i = 0; i < holders; ++i) wireAppend(inner, wireSpec(path.back()), holderContent(i));
    for (size_t step = path.size() - 1; step-- > 0;) {
        WireBytes outer;
        wireAppend(outer, wireSpec(path[step]), inner);
        inner = std::move(outer);
    }
    return inner;
}

// `count` empty occurrences of `field`.
WireBytes wireEntries(const MSRPBFieldSpec& field, size_t count) {
    WireBytes out;
    for (size_t i = 0; i < count; ++i) wireAppend(out, field, {});
    return out;
}

// One occurrence of `field` that holds exactly `bytes` on the wire, as the
// first text field of its message (or as its text).
WireBytes wireOccurrenceOfBytes(const MSRPBFieldSpec& field, size_t bytes) {
    WireBytes payload;
    if (wireIsMessage(field)) {
        const MSRPBMessageType& element = MSRPBMessageTypeFor(field.element);
        const MSRPBFieldSpec* text = nullptr;
        for (uint32_t i = 0; i < element.fieldCount && !text; ++i)
            if (element.fields[i].word & kMSRPBKindString) text = &element.fields[i];
        EXPECT_NE(text, nullptr) << element.name << " has no text to fill";
        if (!text) return {};
        size_t length = bytes;
        auto size = [&](size_t n) {
            WireBytes head;
            wireVarint(head, (uint64_t{text->tag} << 3) | 2);
            wireVarint(head, n);
            return head.size() + n;
        };
        while (size(length) > bytes) --length;
        EXPECT_EQ(size(length), bytes);
        wireAppend(payload, *text, WireBytes(length, 'v'));
    } else {
        payload.assign(bytes, 'v');
    }
    WireBytes out;
    wireAppend(out, field, payload);
    return out;
}

// The bound of `scope` on the same field as `bound`, if the table has one.
const MSRPBWireBound* wireSibling(const MSRPBWireBound& bound, MSRPBWireScope scope) {
    for (const MSRPBWireBound& other : MSRPBWireBounds())
        if (other.message == bound.message && other.field == bound.field && other.scope == scope)
            return &other;
    return nullptr;
}

// An answer of `root` that holds `count` of what `bound` counts.
WireBytes wireAnswerOf(MSRPBMessageID root, const MSRPBWireBound& bound, size_t count) {
    const MSRPBMessageType& holder = MSRPBMessageTypeFor(bound.message);
    switch (bound.scope) {
        case MSRPBWireScope::kTypePerAnswer: {
            // As many elements of the type in the first field that holds
            // them, within one message on the shortest way to it.
            std::optional<std::vector<WireStep>> best;
            for (const MSRPBMessageID id : wireReachable(root)) {
                const MSRPBMessageType& type = MSRPBMessageTypeFor(id);
                for (uint32_t i = 0; i < type.fieldCount; ++i) {
                    if (!wireIsMessage(type.fields[i]) || !wireIsRepeated(type.fields[i]) ||
                        type.fields[i].element != bound.message || id == bound.message)
                        continue;
                    std::optional<std::vector<WireStep>> path = wirePathTo(root, id);
                    if (!path) continue;
                    path->push_back({id, i});
                    if (!best || path->size() < best->size()) best = path;
                }
            }
            if (!best) return {};
            const MSRPBFieldSpec& field = wireSpec(best->back());
            best->pop_back();
            return wireAnswer(*best, 1, [&](size_t) { return wireEntries(field, count); });
        }
        case MSRPBWireScope::kBytesPerAnswer: {
            const std::vector<WireStep> path = *wirePathTo(root, bound.message);
            return wireAnswer(
                path, 1, [&](size_t) { return wireOccurrenceOfBytes(holder.fields[bound.field], count); });
        }
        case MSRPBWireScope::kPerParent: {
            const std::vector<WireStep> path = *wirePathTo(root, bound.message);
            return wireAnswer(path, 1,
                              [&](size_t) { return wireEntries(holder.fields[bound.field], count); });
        }
        case MSRPBWireScope::kPerAnswer: {
            // Spread over as many holders as a bound per holder asks.
            const std::vector<WireStep> path = *wirePathTo(root, bound.message);
            const MSRPBWireBound* parent = wireSibling(bound, MSRPBWireScope::kPerParent);
            const size_t each = parent ? parent->most : count;
            const size_t holders = (count + each - 1) / each;
            EXPECT_TRUE(holders <= 1 || (!path.empty() && wireIsRepeated(wireSpec(path.back()))))
                << wireFieldName(bound.message, bound.field) << " is bounded per holder, whose holders merge";
            return wireAnswer(path, std::max<size_t>(holders, 1), [&](size_t i) {
                return wireEntries(holder.fields[bound.field], std::min(each, count - i * each));
            });
        }
    }
    return {};
}

TEST(WireBounds, EveryRepeatedFieldOfEveryAnswerIsBoundedByTheTable) {
    std::vector<std::string> unknown;
    for (const MSRPBWireBound& bound : MSRPBWireBounds()) {
        if (bound.scope != MSRPBWireScope::kTypePerAnswer &&
            bound.field >= MSRPBMessageTypeFor(bound.message).fieldCount)
            unknown.push_back(MSRPBMessageTypeFor(bound.message).name);
    }
    EXPECT_EQ(unknown, std::vector<std::string>{}) << "bounds naming no field of their message";

    auto named = [](MSRPBMessageID message, uint32_t field) {
        const MSRPBFieldSpec& spec = MSRPBMessageTypeFor(message).fields[field];
        return std::ranges::any_of(MSRPBWireBounds(), [&](const MSRPBWireBound& bound) {
            return bound.scope == MSRPBWireScope::kTypePerAnswer
                       ? wireIsMessage(spec) && bound.message == spec.element
                       : bound.message == message && bound.field == field;
        });
    };
    std::set<std::string> unbounded;
    size_t seen = 0;
    for (const MSRPBWireRoot& root : MSRPBWireRoots()) {
        for (const MSRPBMessageID id : wireReachable(root.message)) {
            const MSRPBMessageType& type = MSRPBMessageTypeFor(id);
            for (uint32_t i = 0; i < type.fieldCount; ++i) {
                if (!wireIsRepeated(type.fields[i])) continue;
                ++seen;
                if (!named(id, i)) unbounded.insert(wireFieldName(id, i));
            }
        }
    }
    EXPECT_EQ(unbounded, std::set<std::string>{})
        << "repeated fields a server sends without a bound of the table";
    // The configuration's and the experiments answer's lists at least.
    EXPECT_GE(seen, 24u);
}

// Each bound, from every root that reaches it: n taken (and decoded), n + 1
// refused with the bound's code, named by the field's path.
TEST(WireBounds, EachBoundTakesItsBoundAndRefusesOneMore) {
    size_t tried = 0;
    for (const MSRPBWireRoot& root : MSRPBWireRoots()) {
        const std::set<MSRPBMessageID> reachable = wireReachable(root.message);
        const MSRPBMessageType& rootType = MSRPBMessageTypeFor(root.message);
        for (const MSRPBWireBound& bound : MSRPBWireBounds()) {
            if (!reachable.contains(bound.message)) continue;
            // A row naming no field fails the test above.
            if (bound.scope != MSRPBWireScope::kTypePerAnswer &&
                bound.field >= MSRPBMessageTypeFor(bound.message).fieldCount)
                continue;
            const std::string name = bound.scope == MSRPBWireScope::kTypePerAnswer
                                         ? std::string(MSRPBMessageTypeFor(bound.message).name)
                                         : wireFieldName(bound.message, bound.field);
            SCOPED_TRACE(std::string(rootType.name) + ": " + name + " at " + std::to_string(bound.most));
            const WireBytes atBound = wireAnswerOf(root.message, bound, bound.most);
            const WireBytes pastBound = wireAnswerOf(root.message, bound, bound.most + 1);
            ASSERT_FALSE(pastBound.empty());
            const std::optional<MSRPBWireRefusal> taken = MSRPBWireRefusalOf(atBound, root.message);
            EXPECT_FALSE(taken) << taken->fieldPath << " " << taken->code;
            EXPECT_TRUE(NANOMessageBase::initWithBuffer(rootType, atBound));
            const std::optional<MSRPBWireRefusal> refused = MSRPBWireRefusalOf(pastBound, root.message);
            ASSERT_TRUE(refused);
            EXPECT_EQ(refused->code, bound.code);
            EXPECT_EQ(refused->text, bound.text);
            EXPECT_EQ(refused->count, bound.most + 1);
            EXPECT_EQ(refused->bound, bound.most);
            EXPECT_EQ(refused->fieldPath.rfind(rootType.name, 0), 0u) << refused->fieldPath;
            if (bound.scope != MSRPBWireScope::kTypePerAnswer) {
                const std::string field = MSRPBMessageTypeFor(bound.message).fields[bound.field].name;
                EXPECT_TRUE(refused->fieldPath.ends_with("." + field)) << refused->fieldPath;
            }
            ++tried;
        }
    }
    EXPECT_GE(tried, 24u);
}

// Each root's bound on its message elements in total: reached by sending a
// single message field again and again (each merged into one, but each read),
// or, where the root holds no such field, never reached within the bounds
// of its fields.
TEST(WireBounds, EachAnswerIsBoundedInItsMessagesInTotal) {
    for (const MSRPBWireRoot& root : MSRPBWireRoots()) {
        const MSRPBMessageType& rootType = MSRPBMessageTypeFor(root.message);
        SCOPED_TRACE(rootType.name);
        std::optional<std::vector<WireStep>> repeatedSingle;
        for (const MSRPBMessageID id : wireReachable(root.message)) {
            const MSRPBMessageType& type = MSRPBMessageTypeFor(id);
            for (uint32_t i = 0; i < type.fieldCount; ++i) {
                if (!wireIsMessage(type.fields[i]) || wireIsRepeated(type.fields[i])) continue;
                std::optional<std::vector<WireStep>> path = wirePathTo(root.message, id);
                if (!path) continue;
                path->push_back({id, i});
                if (!repeatedSingle || path->size() < repeatedSingle->size()) repeatedSingle = path;
            }
        }
        if (!repeatedSingle) {
            // Every message element sits in a repeated field whose bound
            // holds it: together they stay within the total.
            size_t most = 0;
            for (const MSRPBWireBound& bound : MSRPBWireBounds()) {
                if (!wireReachable(root.message).contains(bound.message)) continue;
                if (bound.scope == MSRPBWireScope::kPerAnswer &&
                    wireIsMessage(MSRPBMessageTypeFor(bound.message).fields[bound.field]))
                    most += bound.most;
            }
            EXPECT_LE(most, root.elements.most);
            continue;
        }
        // The elements on the way there, each one.
        const size_t onTheWay = repeatedSingle->size() - 1;
        const MSRPBFieldSpec single = wireSpec(repeatedSingle->back());
        repeatedSingle->pop_back();
        for (const size_t count : {root.elements.most, root.elements.most + 1}) {
            const WireBytes answer =
                wireAnswer(*repeatedSingle, 1, [&](size_t) { return wireEntries(single, count - onTheWay); });
            const std::optional<MSRPBWireRefusal> refusal = MSRPBWireRefusalOf(answer, root.message);
            if (count == root.elements.most) {
                EXPECT_FALSE(refusal) << refusal->fieldPath;
                continue;
            }
            ASSERT_TRUE(refusal);
            EXPECT_EQ(refusal->code, root.elements.code);
            EXPECT_EQ(refusal->count, count);
        }
    }
}

// What the walk does not refuse, the decode does; what it reads before bytes
// that do not read is counted all the same.
TEST(WireBounds, BytesThatDoNotReadAreLeftToTheDecode) {
    const MSRPBMessageType& config = MSRPBMeasurementConfig::type();
    const MSRPBFieldSpec* programs = nullptr;
    const MSRPBFieldSpec* settings = nullptr;
    for (uint32_t i = 0; i < config.fieldCount; ++i) {
        if (std::string_view(config.fields[i].name) == "dynamic_event_editing") programs = &config.fields[i];
        if (std::string_view(config.fields[i].name) == "settings") settings = &config.fields[i];
    }
    ASSERT_TRUE(programs && settings);
    const MSRPBFieldSpec& instructions = MSRPBMessageTypeFor(MSRPBMessageID::Program).fields[0];
    const MSRPBFieldSpec& value = MSRPBMessageTypeFor(MSRPBMessageID::RuntimeEntity).fields[1];
    ASSERT_EQ(std::string_view(value.name), "value");
    // An entity nested as deep as `depth` below the configuration.
    auto nested = [&](int depth) {
        WireBytes inner;
        for (int level = depth; level > 2; --level) {
            WireBytes outer;
            wireAppend(outer, value, inner);
            inner = std::move(outer);
        }
        WireBytes program;
        wireAppend(program, instructions, inner);
        WireBytes out;
        wireAppend(out, *programs, program);
        return out;
    };
    WireBytes tooMany = wireEntries(*settings, 10001);
    WireBytes truncated = tooMany;
    truncated.push_back(0x22);  // a setting's tag without its length

    const struct {
        const char* name;
        WireBytes bytes;
        std::optional<int64_t> refusal;
        bool decodes;
    } cases[] = {
        {"nested as deep as a decode takes", nested(kNANOMaxNestingDepth), std::nullopt, true},
        {"nested one deeper", nested(kNANOMaxNestingDepth + 1), std::nullopt, false},
        {"a setting too many, then bytes that do not read", truncated, 23299, false},
        {"a tag alone", WireBytes{0x22}, std::nullopt, false},
        {"nothing", WireBytes{}, std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<MSRPBWireRefusal> refusal =
            MSRPBWireRefusalOf(c.bytes, MSRPBMessageID::MeasurementConfig);
        EXPECT_EQ(refusal ? std::optional<int64_t>(refusal->code) : std::nullopt, c.refusal);
        EXPECT_EQ(NANOMessageBase::initWithBuffer(config, c.bytes).has_value(), c.decodes);
    }
}

}  // namespace

namespace {

// An element of a repeated message field may come as a fixed-width number,
// whose bytes the decode reads as the element: each is counted as one.
TEST(WireBounds, ElementsSentAsNumbersAreCountedAsTheDecodeBuildsThem) {
    // Snapshots of two empty names each, in four and in eight bytes.
    const WireBytes fixed32 = {0x0d, 0x0a, 0x00, 0x0a, 0x00};
    const WireBytes fixed64 = {0x09, 0x0a, 0x00, 0x0a, 0x00, 0x0a, 0x00, 0x0a, 0x00};
    constexpr size_t bound = 100;  // snapshots of one answer
    for (const WireBytes& element : {fixed32, fixed64}) {
        SCOPED_TRACE(element.size());
        for (const size_t count : {bound, bound + 1}) {
            WireBytes answer;
            for (size_t i = 0; i < count; ++i) answer.insert(answer.end(), element.begin(), element.end());
            std::optional<MSRPBExperimentResponse> decoded = MSRPBExperimentResponse::initWithBuffer(answer);
            ASSERT_TRUE(decoded);
            EXPECT_EQ(MSRPBGetMessageArray<MSRPBSnapshot>(*decoded, 0).size(), count);
            const std::optional<MSRPBWireRefusal> refusal =
                MSRPBWireRefusalOf(answer, MSRPBMessageID::ExperimentResponse);
            EXPECT_EQ(refusal ? refusal->code : 0, count > bound ? 820034 : 0);
        }
    }
}

}  // namespace
