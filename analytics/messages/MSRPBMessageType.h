#pragma once
// The field tables of the 42 wire messages: for each message its name and, in
// field-index order, each field's wire tag, type word and (for message fields)
// element type. The field index is what the accessors take; it equals the
// position in tag order for every message but MeasurementBundle.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

enum class MSRPBMessageID : uint8_t {
    AdCampaignInfo,
    AppProperty,
    Audience,
    AudienceLeafFilterResult,
    ClientProperty,
    ConsentConfig,
    ConsentDefaultEntry,
    ConsentDelegationEntry,
    CorePlatformServiceEntry,
    CustomProperty,
    DataControl,
    DynamicFilterResultTimestamp,
    Event,
    EventConfig,
    EventFilter,
    EventParam,
    Experiment,
    ExperimentRequest,
    ExperimentResponse,
    Filter,
    Flag,
    MeasurementBatch,
    MeasurementBundle,
    MeasurementConfig,
    NumberFilter,
    EdtActivities,
    EdtActivity,
    Program,
    PropertyFilter,
    PsmSetting,
    Region,
    ResultData,
    RuntimeEntity,
    SdkResponse,
    SequenceFilterResultTimestamp,
    Setting,
    SetmSetting,
    SkAdNetworkConversionValueRequest,
    SkAdNetworkConversionValueResponse,
    Snapshot,
    StringFilter,
    UserAttribute,
};
inline constexpr size_t kMSRPBMessageCount = 42;

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

    const MSRPBFieldSpec& field(uint32_t index) const { return fields[index]; }
};

const MSRPBMessageType& MSRPBMessageTypeFor(MSRPBMessageID id);
// nullptr for an unknown name.
const MSRPBMessageType* MSRPBMessageTypeNamed(std::string_view name);
// Differences between our tables and the generated nanopb field tables; empty
// when both describe the same messages.
std::vector<std::string> MSRPBMessageTableProblems();
