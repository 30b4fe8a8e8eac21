#include "analytics/messages/MSRPBMessageType.h"

#include <array>

namespace {

constexpr uint32_t kBool = 0x22, kEnum = 0x42, kInt32 = 0x82, kInt64 = 0x202, kFloat = 0x802,
                   kDouble = 0x1002, kString = 0x2002, kMessage = 0x4002;
constexpr uint32_t kRepUInt32 = 0x108, kRepInt64 = 0x208, kRepUInt64 = 0x408, kRepString = 0x2008,
                   kRepMessage = 0x4008;

#define F(tag, word, name) \
    { tag, word, MSRPBMessageID::AdCampaignInfo, name }
#define SUB(tag, word, element, name) \
    { tag, word, MSRPBMessageID::element, name }

const MSRPBFieldSpec kAdCampaignInfo[] = {
    F(1, kString, "zclid"),      F(2, kString, "zbraid"),
    F(3, kString, "zad_source"), F(4, kInt64, "click_timestamp_millis"),
    F(5, kString, ""),           F(6, kString, ""),
    F(7, kString, ""),           F(8, kInt64, ""),
};
const MSRPBFieldSpec kAppProperty[] = {
    F(1, kString, "platform"),   F(2, kString, ""),          F(3, kString, ""),
    F(4, kString, "language"),   F(5, kString, "bundle_id"), F(6, kBool, "from_app_store"),
    F(7, kInt64, "sdk_version"),
};
const MSRPBFieldSpec kAudience[] = {
    F(1, kInt32, "audience_id"),
    SUB(2, kRepMessage, PropertyFilter, "property_filters"),
    SUB(3, kRepMessage, EventFilter, "event_filters"),
    F(4, kBool, ""),
    F(5, kBool, ""),
};
const MSRPBFieldSpec kAudienceLeafFilterResult[] = {
    F(1, kInt32, "audience_id"),
    SUB(2, kMessage, ResultData, "current_data"),
    SUB(3, kMessage, ResultData, "previous_data"),
    F(4, kBool, "new_audience"),
};
const MSRPBFieldSpec kClientProperty[] = {
    F(1, kString, "sdk_name"),
    F(2, kString, "diversion_id"),
    F(3, kInt64, "version"),
    F(4, kString, "app_id"),
    SUB(5, kRepMessage, CustomProperty, "custom_properties"),
};
const MSRPBFieldSpec kConsentConfig[] = {
    SUB(1, kRepMessage, ConsentDefaultEntry, "defaults"),
    SUB(2, kRepMessage, ConsentDelegationEntry, "delegations"),
    SUB(3, kRepMessage, CorePlatformServiceEntry, "core_platform_services"),
    F(4, kBool, "is_dma_region"),
    SUB(5, kRepMessage, ConsentDefaultEntry, "enforced_defaults"),
};
const MSRPBFieldSpec kConsentDefaultEntry[] = {F(1, kEnum, "consent_type"), F(2, kEnum, "status")};
const MSRPBFieldSpec kConsentDelegationEntry[] = {F(1, kEnum, "consent_type"), F(2, kEnum, "delegate_type")};
const MSRPBFieldSpec kCorePlatformServiceEntry[] = {F(1, kString, "name"), F(2, kString, "")};
const MSRPBFieldSpec kCustomProperty[] = {F(1, kString, "key"), F(2, kString, "value")};
const MSRPBFieldSpec kDataControl[] = {
    F(1, kString, "name"),
    SUB(2, kRepMessage, Region, "opt_out_regions"),
    F(3, kBool, ""),
};
const MSRPBFieldSpec kDynamicFilterResultTimestamp[] = {F(1, kInt32, "filter_id"), F(2, kInt64, "timestamp")};
const MSRPBFieldSpec kEvent[] = {
    SUB(1, kRepMessage, EventParam, "params"), F(2, kString, "name"), F(3, kInt64, "timestamp_millis"),
    F(4, kInt64, "previous_timestamp_millis"), F(5, kInt32, ""),
};
const MSRPBFieldSpec kEventConfig[] = {
    F(1, kString, "name"),
    F(2, kBool, "blocklisted"),
    F(3, kBool, "custom_conversion"),
    F(4, kInt32, "sampling_rate"),
};
const MSRPBFieldSpec kEventFilter[] = {
    F(1, kInt32, "filter_id"),
    F(2, kString, "event_name"),
    SUB(3, kRepMessage, Filter, "filters"),
    F(4, kBool, ""),
    SUB(5, kMessage, NumberFilter, "event_count_filter"),
    F(6, kBool, "dynamic"),
    F(7, kBool, "sequence"),
    F(8, kBool, "session_scoped"),
};
const MSRPBFieldSpec kEventParam[] = {
    F(1, kString, "name"), F(2, kString, "string_value"), F(3, kInt64, "int_value"),
    F(4, kFloat, ""),      F(5, kDouble, "double_value"), SUB(6, kRepMessage, EventParam, "param_value"),
};
const MSRPBFieldSpec kExperiment[] = {F(1, kInt32, "experiment_id"), SUB(2, kRepMessage, Flag, "flags")};
const MSRPBFieldSpec kExperimentRequest[] = {
    SUB(1, kMessage, AppProperty, "app_property"),
    SUB(2, kRepMessage, ClientProperty, "client_properties"),
};
const MSRPBFieldSpec kExperimentResponse[] = {
    SUB(1, kRepMessage, Snapshot, "snapshots"),
    SUB(2, kRepMessage, SdkResponse, "sdk_responses"),
};
const MSRPBFieldSpec kFilter[] = {
    SUB(1, kMessage, StringFilter, "string_filter"),
    SUB(2, kMessage, NumberFilter, "number_filter"),
    F(3, kBool, "complement"),
    F(4, kString, "param_name"),
};
const MSRPBFieldSpec kFlag[] = {
    F(1, kString, "name"),         F(2, kInt64, "int_value"), F(3, kString, "string_value"),
    F(4, kDouble, "double_value"), F(5, kBool, "bool_value"),
};
const MSRPBFieldSpec kMeasurementBatch[] = {
    SUB(1, kRepMessage, MeasurementBundle, "bundles"),
    F(7, kString, ""),
    F(8, kString, ""),
    F(9, kEnum, ""),
};
// Index order differs from tag order here: stored metadata and queued bundles
// are addressed by these indices, so the order is part of the format.
const MSRPBFieldSpec kMeasurementBundle[] = {
    F(1, kInt32, "protocol_version"),                                               // 0
    SUB(2, kRepMessage, Event, "events"),                                           // 1
    SUB(3, kRepMessage, UserAttribute, "user_attributes"),                          // 2
    F(4, kInt64, "upload_timestamp_millis"),                                        // 3
    F(5, kInt64, "start_timestamp_millis"),                                         // 4
    F(6, kInt64, "end_timestamp_millis"),                                           // 5
    F(26, kInt64, "previous_bundle_start_timestamp_millis"),                        // 6
    F(7, kInt64, "previous_bundle_end_timestamp_millis"),                           // 7
    F(8, kString, "platform"),                                                      // 8
    F(9, kString, "os_version"),                                                    // 9
    F(10, kString, "device_model"),                                                 // 10
    F(11, kString, "user_default_language"),                                        // 11
    F(12, kInt32, "timezone_offset_minutes"),                                       // 12
    F(13, kString, "app_store"),                                                    // 13
    F(14, kString, "app_id"),                                                       // 14
    F(15, kInt64, ""),                                                              // 15
    F(16, kString, "app_version"),                                                  // 16
    F(17, kInt64, "zmp_version"),                                                   // 17
    F(18, kInt64, "uploading_zmp_version"),                                         // 18
    F(19, kString, "resettable_device_id"),                                         // 19
    F(27, kString, "vendor_device_id"),                                             // 20
    F(20, kBool, "limited_ad_tracking"),                                            // 21
    F(21, kString, "app_instance_id"),                                              // 22
    F(22, kInt64, ""),                                                              // 23
    F(23, kInt32, "bundle_sequential_index"),                                       // 24
    F(24, kString, "monitoring_sample"),                                            // 25
    F(25, kString, "zmp_app_id"),                                                   // 26
    F(28, kBool, ""),                                                               // 27
    SUB(29, kRepMessage, AudienceLeafFilterResult, "audience_evaluation_results"),  // 28
    F(30, kString, "vuzedezo_installation_id"),                                     // 29
    F(31, kInt32, "app_version_major"),                                             // 30
    F(32, kInt32, "app_version_minor"),                                             // 31
    F(33, kInt32, "app_version_release"),                                           // 32
    F(34, kString, ""),                                                             // 33
    F(35, kInt64, "config_version"),                                                // 34
    F(39, kInt32, "retry_count"),                                                   // 35
    F(41, kString, "adzev_app_id"),                                                 // 36
    F(45, kRepUInt32, "experiment_ids"),                                            // 37
    F(47, kInt64, "checksum"),                                                      // 38
    F(50, kString, ""),                                                             // 39
    F(52, kString, "consent_signals"),                                              // 40
    F(53, kEnum, "att_consent_status"),                                             // 41
    F(55, kBool, ""),                                                               // 42
    F(63, kString, "session_stitching_token"),                                      // 43
    F(64, kRepString, "redacted_fields"),                                           // 44
    F(65, kString, "ephemeral_app_instance_id"),                                    // 45
    F(67, kInt64, ""),                                                              // 46
    F(71, kString, "consent_diagnostics"),                                          // 47
    F(72, kBool, "is_dma_region"),                                                  // 48
    F(73, kString, "core_platform_services"),                                       // 49
    F(75, kString, ""),                                                             // 50
    F(77, kInt32, ""),                                                              // 51
    SUB(79, kMessage, AdCampaignInfo, "ad_campaign_info"),                          // 52
};
const MSRPBFieldSpec kMeasurementConfig[] = {
    F(1, kInt64, "version"),
    F(2, kString, "app_id"),
    F(3, kInt32, ""),
    SUB(4, kRepMessage, Setting, "settings"),
    SUB(5, kRepMessage, EventConfig, "event_config"),
    SUB(6, kRepMessage, Audience, "audiences"),
    F(7, kString, "adzev_app_id"),
    F(8, kBool, ""),
    SUB(9, kRepMessage, Program, "dynamic_event_editing"),
    SUB(10, kRepMessage, DataControl, "data_controls"),
    F(11, kString, "upload_subdomain"),
    F(14, kString, ""),
    SUB(15, kMessage, ConsentConfig, "consent_config"),
    SUB(16, kMessage, PsmSetting, "psm_setting"),
    SUB(17, kMessage, SetmSetting, "setm_setting"),
    SUB(18, kMessage, Region, "region"),
};
const MSRPBFieldSpec kNumberFilter[] = {
    F(1, kEnum, "comparison_type"),        F(2, kBool, "float_comparison"),
    F(3, kString, "comparison_value"),     F(4, kString, "min_comparison_value"),
    F(5, kString, "max_comparison_value"),
};
const MSRPBFieldSpec kEdtActivities[] = {SUB(1, kRepMessage, EdtActivity, "activities")};
const MSRPBFieldSpec kEdtActivity[] = {F(1, kString, "name"), SUB(2, kRepMessage, RuntimeEntity, "data")};
const MSRPBFieldSpec kProgram[] = {
    SUB(1, kRepMessage, RuntimeEntity, "instructions"),
    SUB(2, kMessage, EdtActivities, "edt_activities"),
};
const MSRPBFieldSpec kPropertyFilter[] = {
    F(1, kInt32, "filter_id"), F(2, kString, "property_name"), SUB(3, kMessage, Filter, "filter"),
    F(4, kBool, "dynamic"),    F(5, kBool, "sequence"),        F(6, kBool, "session_scoped"),
};
const MSRPBFieldSpec kPsmSetting[] = {
    F(1, kInt32, "prefix_email"),
    F(2, kInt32, "prefix_phone"),
    F(3, kInt32, "signin_delay"),
};
const MSRPBFieldSpec kRegion[] = {F(1, kString, ""), F(2, kString, "")};
const MSRPBFieldSpec kResultData[] = {
    F(1, kRepUInt64, "status"),
    F(2, kRepUInt64, "results"),
    SUB(3, kRepMessage, DynamicFilterResultTimestamp, "dynamic_filter_timestamps"),
    SUB(4, kRepMessage, SequenceFilterResultTimestamp, "sequence_filter_timestamps"),
};
const MSRPBFieldSpec kRuntimeEntity[] = {
    F(1, kEnum, "type"),
    SUB(2, kRepMessage, RuntimeEntity, "value"),
    F(3, kString, "function_name"),
    F(4, kString, "string_value"),
    F(5, kBool, "bool_value"),
    F(6, kDouble, "number_value"),
};
const MSRPBFieldSpec kSdkResponse[] = {
    F(1, kString, "sdk_name"),
    F(2, kEnum, "status"),
    SUB(3, kMessage, Snapshot, "snapshot"),
};
const MSRPBFieldSpec kSequenceFilterResultTimestamp[] = {
    F(1, kInt32, "filter_id"),
    F(2, kRepInt64, "eval_timestamps"),
};
const MSRPBFieldSpec kSetting[] = {F(1, kString, "name"), F(2, kString, "value")};
const MSRPBFieldSpec kSetmSetting[] = {F(1, kString, ""), F(2, kString, ""), F(3, kString, ""),
                                       F(4, kInt32, "")};
const MSRPBFieldSpec kSkAdNetworkConversionValueRequest[] = {
    F(1, kInt64, "zmp_version"),
    F(2, kString, "app_id"),
    F(3, kString, "app_instance_id"),
    F(4, kString, "skan_version"),
    F(5, kInt64, "evaluation_event_time_millis"),
    F(6, kInt64, "last_uploaded_event_timestamp_millis"),
};
const MSRPBFieldSpec kSkAdNetworkConversionValueResponse[] = {
    F(1, kEnum, "response_type"),
    F(2, kString, "model"),
    F(3, kInt32, "fine_value"),
    F(4, kEnum, "coarse_value"),
    F(5, kBool, "lock_window"),
    F(6, kInt64, "expiry_timestamp_millis"),
    F(7, kInt64, "event_timestamp_millis"),
    F(8, kInt64, "update_backoff_millis"),
};
const MSRPBFieldSpec kSnapshot[] = {F(1, kString, "sdk_name"),
                                    SUB(2, kRepMessage, Experiment, "experiments")};
const MSRPBFieldSpec kStringFilter[] = {
    F(1, kEnum, "match_type"),
    F(2, kString, "expression"),
    F(3, kBool, "case_sensitive"),
    F(4, kRepString, "expression_list"),
};
const MSRPBFieldSpec kUserAttribute[] = {
    F(1, kInt64, "set_timestamp_millis"),
    F(2, kString, "name"),
    F(3, kString, "string_value"),
    F(4, kInt64, "int_value"),
    F(5, kFloat, ""),
    F(6, kDouble, "double_value"),
};

#undef F
#undef SUB

#define TYPE(name) \
    MSRPBMessageType{MSRPBMessageID::name, #name, static_cast<uint32_t>(std::size(k##name)), k##name},

const std::array<MSRPBMessageType, kMSRPBMessageCount> kTypes = {MSRPB_FOR_EACH_MESSAGE(TYPE)};

#undef TYPE

}  // namespace

const MSRPBMessageType& MSRPBMessageTypeFor(MSRPBMessageID id) {
    return kTypes[static_cast<size_t>(id)];
}
