// The bounds of the wire table as numbers written here, not read from the
// table: an answer at each bound is taken and one past it refused with the
// bound's code, so that a bound raised or lowered by mistake fails a row.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/messages/MSRPBMessageType.h"
#include "analytics/messages/MSRPBWireCount.h"

namespace {

using LiteralBytes = std::vector<uint8_t>;

void literalVarint(LiteralBytes& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

// `times` occurrences of the field named `field`, each holding what the
// steps after it make inside it (the last step's occurrences are empty).
struct LiteralStep {
    const char* field;
    size_t times;
};

LiteralBytes literalAnswer(const MSRPBMessageType& type, const std::vector<LiteralStep>& steps, size_t at = 0) {
    const MSRPBFieldSpec* field = nullptr;
    for (uint32_t i = 0; i < type.fieldCount && !field; ++i)
        if (std::string_view(type.fields[i].name) == steps[at].field) field = &type.fields[i];
    EXPECT_NE(field, nullptr) << type.name << " has no field " << steps[at].field;
    if (!field) return {};
    LiteralBytes inner;
    if (at + 1 < steps.size()) inner = literalAnswer(MSRPBMessageTypeFor(field->element), steps, at + 1);
    LiteralBytes out;
    for (size_t i = 0; i < steps[at].times; ++i) {
        literalVarint(out, (uint64_t{field->tag} << 3) | 2);
        literalVarint(out, inner.size());
        out.insert(out.end(), inner.begin(), inner.end());
    }
    return out;
}

TEST(WireBoundLiterals, EachBoundTakesItsNumberAndRefusesOneMore) {
    using ID = MSRPBMessageID;
    struct Case {
        const char* label;
        ID root;
        std::vector<LiteralStep> steps;
        int64_t refusedWith;  // 0: taken
    };
    const std::vector<Case> cases = {
        {"100 property filters of an audience", ID::MeasurementConfig, {{"audiences", 1}, {"property_filters", 100}}, 0},
        {"101 property filters of an audience", ID::MeasurementConfig, {{"audiences", 1}, {"property_filters", 101}},
         23302},
        {"two audiences of 100 property filters", ID::MeasurementConfig,
         {{"audiences", 2}, {"property_filters", 100}}, 0},
        {"100 event filters of an audience", ID::MeasurementConfig, {{"audiences", 1}, {"event_filters", 100}}, 0},
        {"101 event filters of an audience", ID::MeasurementConfig, {{"audiences", 1}, {"event_filters", 101}}, 23303},
        {"250 parameter filters of an event filter", ID::MeasurementConfig,
         {{"audiences", 1}, {"event_filters", 1}, {"filters", 250}}, 0},
        {"251 parameter filters of an event filter", ID::MeasurementConfig,
         {{"audiences", 1}, {"event_filters", 1}, {"filters", 251}}, 23304},
        {"two event filters of 250 parameter filters", ID::MeasurementConfig,
         {{"audiences", 1}, {"event_filters", 2}, {"filters", 250}}, 0},
        {"10,000 activities of a program", ID::MeasurementConfig,
         {{"dynamic_event_editing", 1}, {"edt_activities", 1}, {"activities", 10000}}, 0},
        {"10,001 activities of a program", ID::MeasurementConfig,
         {{"dynamic_event_editing", 1}, {"edt_activities", 1}, {"activities", 10001}}, 23306},
        {"10,001 activities over two programs", ID::MeasurementConfig,
         {{"dynamic_event_editing", 2}, {"edt_activities", 1}, {"activities", 5001}}, 23306},
        {"six data controls of 20 opt-out regions", ID::MeasurementConfig,
         {{"data_controls", 6}, {"opt_out_regions", 20}}, 0},
        {"300 opt-out regions of a data control", ID::MeasurementConfig,
         {{"data_controls", 1}, {"opt_out_regions", 300}}, 0},
        {"301 opt-out regions of a data control", ID::MeasurementConfig,
         {{"data_controls", 1}, {"opt_out_regions", 301}}, 23308},
        {"100 data controls of 300 opt-out regions", ID::MeasurementConfig,
         {{"data_controls", 100}, {"opt_out_regions", 300}}, 0},
        {"100 core platform services", ID::MeasurementConfig,
         {{"consent_config", 1}, {"core_platform_services", 100}}, 0},
        {"101 core platform services", ID::MeasurementConfig,
         {{"consent_config", 1}, {"core_platform_services", 101}}, 23312},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const LiteralBytes answer = literalAnswer(MSRPBMessageTypeFor(c.root), c.steps);
        ASSERT_FALSE(answer.empty());
        const std::optional<MSRPBWireRefusal> refusal = MSRPBWireRefusalOf(answer, c.root);
        EXPECT_EQ(refusal ? refusal->code : 0, c.refusedWith)
            << (refusal ? refusal->fieldPath + " " + std::to_string(refusal->count) : std::string("taken"));
    }

    // No field of these answers reaches the bounds below today (every
    // repeated field has a row of its own, and the conversion-value answer
    // holds no message and no list): the numbers are held here so that the
    // field that first reaches one finds it as it was chosen.
    struct Held {
        ID root;
        int64_t code;
        size_t most;
    };
    const Held held[] = {
        {ID::MeasurementConfig, 23314, 10000},
        {ID::ExperimentResponse, 820037, 10000},
        {ID::Snapshot, 820037, 10000},
        {ID::SkAdNetworkConversionValueResponse, 23256, 100},
        {ID::SkAdNetworkConversionValueResponse, 23257, 100},
    };
    for (const Held& h : held) {
        SCOPED_TRACE(h.code);
        const MSRPBWireRoot* root = MSRPBWireRootOf(h.root);
        ASSERT_NE(root, nullptr);
        const MSRPBWireBound& bound = root->elements.code == h.code ? root->elements : root->unnamed;
        ASSERT_EQ(bound.code, h.code);
        EXPECT_EQ(bound.most, h.most);
    }
}

}  // namespace
