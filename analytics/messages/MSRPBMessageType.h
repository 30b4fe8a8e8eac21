#pragma once
// The field tables of the 42 wire messages: for each message its name and, in
// field-index order, each field's wire tag, type word and (for message fields)
// element type. The field index is what the accessors take; it equals the
// position in tag order for every message but MeasurementBundle.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Type word = kind bit | label bit.
enum : uint32_t {
    kMSRPBLabelSingle = 0x0002,
    kMSRPBLabelRepeated = 0x0008,
    kMSRPBKindBool = 0x0020,
    kMSRPBKindEnum = 0x0040,
    kMSRPBKindInt32 = 0x0080,
    kMSRPBKindUInt32 = 0x0100,
    kMSRPBKindInt64 = 0x0200,
    kMSRPBKindUInt64 = 0x0400,
    kMSRPBKindFloat = 0x0800,
    kMSRPBKindDouble = 0x1000,
    kMSRPBKindString = 0x2000,
    kMSRPBKindMessage = 0x4000,
    kMSRPBKindBytes = 0x8000,
};

// The 42 messages, once: the message IDs, the field tables, the nanopb
// bindings and the wrapper classes are all expanded from this list, so they
// cannot fall out of step.
#define MSRPB_FOR_EACH_MESSAGE(X)                                                                            \
    X(AdCampaignInfo)                                                                                        \
    X(AppProperty) X(Audience) X(AudienceLeafFilterResult) X(ClientProperty) X(ConsentConfig)                \
        X(ConsentDefaultEntry) X(ConsentDelegationEntry) X(CorePlatformServiceEntry) X(CustomProperty)       \
            X(DataControl) X(DynamicFilterResultTimestamp) X(Event) X(EventConfig) X(EventFilter)            \
                X(EventParam) X(Experiment) X(ExperimentRequest) X(ExperimentResponse) X(Filter) X(Flag)     \
                    X(MeasurementBatch) X(MeasurementBundle) X(MeasurementConfig) X(NumberFilter)            \
                        X(EdtActivities) X(EdtActivity) X(Program) X(PropertyFilter) X(PsmSetting) X(Region) \
                            X(ResultData) X(RuntimeEntity) X(SdkResponse) X(SequenceFilterResultTimestamp)   \
                                X(Setting) X(SetmSetting) X(SkAdNetworkConversionValueRequest)               \
                                    X(SkAdNetworkConversionValueResponse) X(Snapshot) X(StringFilter)        \
                                        X(UserAttribute)

enum class MSRPBMessageID : uint8_t {
#define MSRPB_MESSAGE_ID(name) name,
    MSRPB_FOR_EACH_MESSAGE(MSRPB_MESSAGE_ID)
#undef MSRPB_MESSAGE_ID
};
#define MSRPB_COUNT_ONE(name) +1
inline constexpr size_t kMSRPBMessageCount = 0 MSRPB_FOR_EACH_MESSAGE(MSRPB_COUNT_ONE);
#undef MSRPB_COUNT_ONE

struct MSRPBFieldSpec {
    uint32_t tag;
    uint32_t word;
    MSRPBMessageID element;  // message fields only
    const char* name;        // "" for fields carried but never read
};

struct MSRPBMessageType {
    MSRPBMessageID id;
    const char* name;  // e.g. "MeasurementBundle"
    uint32_t fieldCount;
    const MSRPBFieldSpec* fields;
};

const MSRPBMessageType& MSRPBMessageTypeFor(MSRPBMessageID id);
// Differences between our tables and the generated nanopb field tables; empty
// when both describe the same messages.
std::vector<std::string> MSRPBMessageTableProblems();
