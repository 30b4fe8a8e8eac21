#pragma once
// The field tables of the wire messages, in field-index order: the one place
// that says which index a field has. Checked against the generated nanopb
// tables by MSRPBMessageTableProblems; code names indices through
// MSRPBFieldIndex.h, never by number. A field carried but never read has an
// empty name.

#include <array>
#include <iterator>

#include "analytics/messages/MSRPBMessageType.h"

namespace MSRPBFieldTable {

inline constexpr uint32_t kBool = 0x22, kEnum = 0x42, kInt32 = 0x82, kInt64 = 0x202, kFloat = 0x802,
                          kDouble = 0x1002, kString = 0x2002, kMessage = 0x4002;
inline constexpr uint32_t kRepUInt32 = 0x108, kRepInt64 = 0x208, kRepUInt64 = 0x408, kRepString = 0x2008,
                          kRepMessage = 0x4008;

#define MSRPB_FIELD(tag, word, name) \
    { tag, word, MSRPBMessageID::AdCampaignInfo, name }
#define MSRPB_SUB(tag, word, element, name) \
    { tag, word, MSRPBMessageID::element, name }

inline constexpr MSRPBFieldSpec kAdCampaignInfo[] = {
    MSRPB_FIELD(1, kString, "zclid"),      MSRPB_FIELD(2, kString, "zbraid"),
    MSRPB_FIELD(3, kString, "zad_source"), MSRPB_FIELD(4, kInt64, "click_timestamp_millis"),
    MSRPB_FIELD(5, kString, ""),           MSRPB_FIELD(6, kString, ""),
    MSRPB_FIELD(7, kString, ""),           MSRPB_FIELD(8, kInt64, ""),
};
inline constexpr MSRPBFieldSpec kAppProperty[] = {
    MSRPB_FIELD(1, kString, "platform"),   MSRPB_FIELD(2, kString, ""),
    MSRPB_FIELD(3, kString, ""),           MSRPB_FIELD(4, kString, "language"),
    MSRPB_FIELD(5, kString, "bundle_id"),  MSRPB_FIELD(6, kBool, "from_app_store"),
    MSRPB_FIELD(7, kInt64, "sdk_version"),
};
inline constexpr MSRPBFieldSpec kAudience[] = {
    MSRPB_FIELD(1, kInt32, "audience_id"),
    MSRPB_SUB(2, kRepMessage, PropertyFilter, "property_filters"),
    MSRPB_SUB(3, kRepMessage, EventFilter, "event_filters"),
    MSRPB_FIELD(4, kBool, ""),
    MSRPB_FIELD(5, kBool, ""),
};
inline constexpr MSRPBFieldSpec kAudienceLeafFilterResult[] = {
    MSRPB_FIELD(1, kInt32, "audience_id"),
    MSRPB_SUB(2, kMessage, ResultData, "current_data"),
    MSRPB_SUB(3, kMessage, ResultData, "previous_data"),
    MSRPB_FIELD(4, kBool, "new_audience"),
};
inline constexpr MSRPBFieldSpec kClientProperty[] = {
    MSRPB_FIELD(1, kString, "sdk_name"),
    MSRPB_FIELD(2, kString, "diversion_id"),
    MSRPB_FIELD(3, kInt64, "version"),
    MSRPB_FIELD(4, kString, "app_id"),
    MSRPB_SUB(5, kRepMessage, CustomProperty, "custom_properties"),
};
inline constexpr MSRPBFieldSpec kConsentConfig[] = {
    MSRPB_SUB(1, kRepMessage, ConsentDefaultEntry, "defaults"),
    MSRPB_SUB(2, kRepMessage, ConsentDelegationEntry, "delegations"),
    MSRPB_SUB(3, kRepMessage, CorePlatformServiceEntry, "core_platform_services"),
    MSRPB_FIELD(4, kBool, "is_dma_region"),
    MSRPB_SUB(5, kRepMessage, ConsentDefaultEntry, "enforced_defaults"),
};
inline constexpr MSRPBFieldSpec kConsentDefaultEntry[] = {MSRPB_FIELD(1, kEnum, "consent_type"),
                                                          MSRPB_FIELD(2, kEnum, "status")};
inline constexpr MSRPBFieldSpec kConsentDelegationEntry[] = {MSRPB_FIELD(1, kEnum, "consent_type"),
                                                             MSRPB_FIELD(2, kEnum, "delegate_type")};
inline constexpr MSRPBFieldSpec kCorePlatformServiceEntry[] = {MSRPB_FIELD(1, kString, "name"),
                                                               MSRPB_FIELD(2, kString, "")};
inline constexpr MSRPBFieldSpec kCustomProperty[] = {MSRPB_FIELD(1, kString, "key"),
                                                     MSRPB_FIELD(2, kString, "value")};
inline constexpr MSRPBFieldSpec kDataControl[] = {
    MSRPB_FIELD(1, kString, "name"),
    MSRPB_SUB(2, kRepMessage, Region, "opt_out_regions"),
    MSRPB_FIELD(3, kBool, ""),
};
inline constexpr MSRPBFieldSpec kDynamicFilterResultTimestamp[] = {MSRPB_FIELD(1, kInt32, "filter_id"),
                                                                   MSRPB_FIELD(2, kInt64, "timestamp")};
inline constexpr MSRPBFieldSpec kEvent[] = {
    MSRPB_SUB(1, kRepMessage, EventParam, "params"),
    MSRPB_FIELD(2, kString, "name"),
    MSRPB_FIELD(3, kInt64, "timestamp_millis"),
    MSRPB_FIELD(4, kInt64, "previous_timestamp_millis"),
    MSRPB_FIELD(5, kInt32, ""),
};
inline constexpr MSRPBFieldSpec kEventConfig[] = {
    MSRPB_FIELD(1, kString, "name"),
    MSRPB_FIELD(2, kBool, "blocklisted"),
    MSRPB_FIELD(3, kBool, "custom_conversion"),
    MSRPB_FIELD(4, kInt32, "sampling_rate"),
};
inline constexpr MSRPBFieldSpec kEventFilter[] = {
    MSRPB_FIELD(1, kInt32, "filter_id"),
    MSRPB_FIELD(2, kString, "event_name"),
    MSRPB_SUB(3, kRepMessage, Filter, "filters"),
    MSRPB_FIELD(4, kBool, ""),
    MSRPB_SUB(5, kMessage, NumberFilter, "event_count_filter"),
    MSRPB_FIELD(6, kBool, "dynamic"),
    MSRPB_FIELD(7, kBool, "sequence"),
    MSRPB_FIELD(8, kBool, "session_scoped"),
};
inline constexpr MSRPBFieldSpec kEventParam[] = {
    MSRPB_FIELD(1, kString, "name"),         MSRPB_FIELD(2, kString, "string_value"),
    MSRPB_FIELD(3, kInt64, "int_value"),     MSRPB_FIELD(4, kFloat, ""),
    MSRPB_FIELD(5, kDouble, "double_value"), MSRPB_SUB(6, kRepMessage, EventParam, "param_value"),
};
inline constexpr MSRPBFieldSpec kExperiment[] = {MSRPB_FIELD(1, kInt32, "experiment_id"),
                                                 MSRPB_SUB(2, kRepMessage, Flag, "flags")};
inline constexpr MSRPBFieldSpec kExperimentRequest[] = {
    MSRPB_SUB(1, kMessage, AppProperty, "app_property"),
    MSRPB_SUB(2, kRepMessage, ClientProperty, "client_properties"),
};
inline constexpr MSRPBFieldSpec kExperimentResponse[] = {
    MSRPB_SUB(1, kRepMessage, Snapshot, "snapshots"),
    MSRPB_SUB(2, kRepMessage, SdkResponse, "sdk_responses"),
};
inline constexpr MSRPBFieldSpec kFilter[] = {
    MSRPB_SUB(1, kMessage, StringFilter, "string_filter"),
    MSRPB_SUB(2, kMessage, NumberFilter, "number_filter"),
    MSRPB_FIELD(3, kBool, "complement"),
    MSRPB_FIELD(4, kString, "param_name"),
};
inline constexpr MSRPBFieldSpec kFlag[] = {
    MSRPB_FIELD(1, kString, "name"),         MSRPB_FIELD(2, kInt64, "int_value"),
    MSRPB_FIELD(3, kString, "string_value"), MSRPB_FIELD(4, kDouble, "double_value"),
    MSRPB_FIELD(5, kBool, "bool_value"),
};
inline constexpr MSRPBFieldSpec kMeasurementBatch[] = {
    MSRPB_SUB(1, kRepMessage, MeasurementBundle, "bundles"),
    MSRPB_FIELD(7, kString, ""),
    MSRPB_FIELD(8, kString, ""),
    MSRPB_FIELD(9, kEnum, ""),
};
// Index order differs from tag order here: stored metadata and queued bundles
// are addressed by these indices, so the order is part of the format.
inline constexpr MSRPBFieldSpec kMeasurementBundle[] = {
    MSRPB_FIELD(1, kInt32, "protocol_version"),                                           // 0
    MSRPB_SUB(2, kRepMessage, Event, "events"),                                           // 1
    MSRPB_SUB(3, kRepMessage, UserAttribute, "user_attributes"),                          // 2
    MSRPB_FIELD(4, kInt64, "upload_timestamp_millis"),                                    // 3
    MSRPB_FIELD(5, kInt64, "start_timestamp_millis"),                                     // 4
    MSRPB_FIELD(6, kInt64, "end_timestamp_millis"),                                       // 5
    MSRPB_FIELD(26, kInt64, "previous_bundle_start_timestamp_millis"),                    // 6
    MSRPB_FIELD(7, kInt64, "previous_bundle_end_timestamp_millis"),                       // 7
    MSRPB_FIELD(8, kString, "platform"),                                                  // 8
    MSRPB_FIELD(9, kString, "os_version"),                                                // 9
    MSRPB_FIELD(10, kString, "device_model"),                                             // 10
    MSRPB_FIELD(11, kString, "user_default_language"),                                    // 11
    MSRPB_FIELD(12, kInt32, "timezone_offset_minutes"),                                   // 12
    MSRPB_FIELD(13, kString, "app_store"),                                                // 13
    MSRPB_FIELD(14, kString, "app_id"),                                                   // 14
    MSRPB_FIELD(15, kInt64, ""),                                                          // 15
    MSRPB_FIELD(16, kString, "app_version"),                                              // 16
    MSRPB_FIELD(17, kInt64, "zmp_version"),                                               // 17
    MSRPB_FIELD(18, kInt64, "uploading_zmp_version"),                                     // 18
    MSRPB_FIELD(19, kString, "resettable_device_id"),                                     // 19
    MSRPB_FIELD(27, kString, "vendor_device_id"),                                         // 20
    MSRPB_FIELD(20, kBool, "limited_ad_tracking"),                                        // 21
    MSRPB_FIELD(21, kString, "app_instance_id"),                                          // 22
    MSRPB_FIELD(22, kInt64, ""),                                                          // 23
    MSRPB_FIELD(23, kInt32, "bundle_sequential_index"),                                   // 24
    MSRPB_FIELD(24, kString, "monitoring_sample"),                                        // 25
    MSRPB_FIELD(25, kString, "zmp_app_id"),                                               // 26
    MSRPB_FIELD(28, kBool, ""),                                                           // 27
    MSRPB_SUB(29, kRepMessage, AudienceLeafFilterResult, "audience_evaluation_results"),  // 28
    MSRPB_FIELD(30, kString, "vuzedezo_installation_id"),                                 // 29
    MSRPB_FIELD(31, kInt32, "app_version_major"),                                         // 30
    MSRPB_FIELD(32, kInt32, "app_version_minor"),                                         // 31
    MSRPB_FIELD(33, kInt32, "app_version_release"),                                       // 32
    MSRPB_FIELD(34, kString, ""),                                                         // 33
    MSRPB_FIELD(35, kInt64, "config_version"),                                            // 34
    MSRPB_FIELD(39, kInt32, "retry_count"),                                               // 35
    MSRPB_FIELD(41, kString, "adzev_app_id"),                                             // 36
    MSRPB_FIELD(45, kRepUInt32, "experiment_ids"),                                        // 37
    MSRPB_FIELD(47, kInt64, "checksum"),                                                  // 38
    MSRPB_FIELD(50, kString, ""),                                                         // 39
    MSRPB_FIELD(52, kString, "consent_signals"),                                          // 40
    MSRPB_FIELD(53, kEnum, "att_consent_status"),                                         // 41
    MSRPB_FIELD(55, kBool, ""),                                                           // 42
    MSRPB_FIELD(63, kString, "session_stitching_token"),                                  // 43
    MSRPB_FIELD(64, kRepString, "redacted_fields"),                                       // 44
    MSRPB_FIELD(65, kString, "ephemeral_app_instance_id"),                                // 45
    MSRPB_FIELD(67, kInt64, ""),                                                          // 46
    MSRPB_FIELD(71, kString, "consent_diagnostics"),                                      // 47
    MSRPB_FIELD(72, kBool, "is_dma_region"),                                              // 48
    MSRPB_FIELD(73, kString, "core_platform_services"),                                   // 49
    MSRPB_FIELD(75, kString, ""),                                                         // 50
    MSRPB_FIELD(77, kInt32, ""),                                                          // 51
    MSRPB_SUB(79, kMessage, AdCampaignInfo, "ad_campaign_info"),                          // 52
};
inline constexpr MSRPBFieldSpec kMeasurementConfig[] = {
    MSRPB_FIELD(1, kInt64, "version"),
    MSRPB_FIELD(2, kString, "app_id"),
    MSRPB_FIELD(3, kInt32, ""),
    MSRPB_SUB(4, kRepMessage, Setting, "settings"),
    MSRPB_SUB(5, kRepMessage, EventConfig, "event_config"),
    MSRPB_SUB(6, kRepMessage, Audience, "audiences"),
    MSRPB_FIELD(7, kString, "adzev_app_id"),
    MSRPB_FIELD(8, kBool, ""),
    MSRPB_SUB(9, kRepMessage, Program, "dynamic_event_editing"),
    MSRPB_SUB(10, kRepMessage, DataControl, "data_controls"),
    MSRPB_FIELD(11, kString, "upload_subdomain"),
    MSRPB_FIELD(14, kString, ""),
    MSRPB_SUB(15, kMessage, ConsentConfig, "consent_config"),
    MSRPB_SUB(16, kMessage, PsmSetting, "psm_setting"),
    MSRPB_SUB(17, kMessage, SetmSetting, "setm_setting"),
    MSRPB_SUB(18, kMessage, Region, "region"),
};
inline constexpr MSRPBFieldSpec kNumberFilter[] = {
    MSRPB_FIELD(1, kEnum, "comparison_type"),        MSRPB_FIELD(2, kBool, "float_comparison"),
    MSRPB_FIELD(3, kString, "comparison_value"),     MSRPB_FIELD(4, kString, "min_comparison_value"),
    MSRPB_FIELD(5, kString, "max_comparison_value"),
};
inline constexpr MSRPBFieldSpec kEdtActivities[] = {MSRPB_SUB(1, kRepMessage, EdtActivity, "activities")};
inline constexpr MSRPBFieldSpec kEdtActivity[] = {MSRPB_FIELD(1, kString, "name"),
                                                  MSRPB_SUB(2, kRepMessage, RuntimeEntity, "data")};
inline constexpr MSRPBFieldSpec kProgram[] = {
    MSRPB_SUB(1, kRepMessage, RuntimeEntity, "instructions"),
    MSRPB_SUB(2, kMessage, EdtActivities, "edt_activities"),
};
inline constexpr MSRPBFieldSpec kPropertyFilter[] = {
    MSRPB_FIELD(1, kInt32, "filter_id"),      MSRPB_FIELD(2, kString, "property_name"),
    MSRPB_SUB(3, kMessage, Filter, "filter"), MSRPB_FIELD(4, kBool, "dynamic"),
    MSRPB_FIELD(5, kBool, "sequence"),        MSRPB_FIELD(6, kBool, "session_scoped"),
};
inline constexpr MSRPBFieldSpec kPsmSetting[] = {
    MSRPB_FIELD(1, kInt32, "prefix_email"),
    MSRPB_FIELD(2, kInt32, "prefix_phone"),
    MSRPB_FIELD(3, kInt32, "signin_delay"),
};
inline constexpr MSRPBFieldSpec kRegion[] = {MSRPB_FIELD(1, kString, ""), MSRPB_FIELD(2, kString, "")};
inline constexpr MSRPBFieldSpec kResultData[] = {
    MSRPB_FIELD(1, kRepUInt64, "status"),
    MSRPB_FIELD(2, kRepUInt64, "results"),
    MSRPB_SUB(3, kRepMessage, DynamicFilterResultTimestamp, "dynamic_filter_timestamps"),
    MSRPB_SUB(4, kRepMessage, SequenceFilterResultTimestamp, "sequence_filter_timestamps"),
};
inline constexpr MSRPBFieldSpec kRuntimeEntity[] = {
    MSRPB_FIELD(1, kEnum, "type"),
    MSRPB_SUB(2, kRepMessage, RuntimeEntity, "value"),
    MSRPB_FIELD(3, kString, "function_name"),
    MSRPB_FIELD(4, kString, "string_value"),
    MSRPB_FIELD(5, kBool, "bool_value"),
    MSRPB_FIELD(6, kDouble, "number_value"),
};
inline constexpr MSRPBFieldSpec kSdkResponse[] = {
    MSRPB_FIELD(1, kString, "sdk_name"),
    MSRPB_FIELD(2, kEnum, "status"),
    MSRPB_SUB(3, kMessage, Snapshot, "snapshot"),
};
inline constexpr MSRPBFieldSpec kSequenceFilterResultTimestamp[] = {
    MSRPB_FIELD(1, kInt32, "filter_id"),
    MSRPB_FIELD(2, kRepInt64, "eval_timestamps"),
};
inline constexpr MSRPBFieldSpec kSetting[] = {MSRPB_FIELD(1, kString, "name"),
                                              MSRPB_FIELD(2, kString, "value")};
inline constexpr MSRPBFieldSpec kSetmSetting[] = {MSRPB_FIELD(1, kString, ""), MSRPB_FIELD(2, kString, ""),
                                                  MSRPB_FIELD(3, kString, ""), MSRPB_FIELD(4, kInt32, "")};
inline constexpr MSRPBFieldSpec kSkAdNetworkConversionValueRequest[] = {
    MSRPB_FIELD(1, kInt64, "zmp_version"),
    MSRPB_FIELD(2, kString, "app_id"),
    MSRPB_FIELD(3, kString, "app_instance_id"),
    MSRPB_FIELD(4, kString, "skan_version"),
    MSRPB_FIELD(5, kInt64, "evaluation_event_time_millis"),
    MSRPB_FIELD(6, kInt64, "last_uploaded_event_timestamp_millis"),
};
inline constexpr MSRPBFieldSpec kSkAdNetworkConversionValueResponse[] = {
    MSRPB_FIELD(1, kEnum, "response_type"),
    MSRPB_FIELD(2, kString, "model"),
    MSRPB_FIELD(3, kInt32, "fine_value"),
    MSRPB_FIELD(4, kEnum, "coarse_value"),
    MSRPB_FIELD(5, kBool, "lock_window"),
    MSRPB_FIELD(6, kInt64, "expiry_timestamp_millis"),
    MSRPB_FIELD(7, kInt64, "event_timestamp_millis"),
    MSRPB_FIELD(8, kInt64, "update_backoff_millis"),
};
inline constexpr MSRPBFieldSpec kSnapshot[] = {MSRPB_FIELD(1, kString, "sdk_name"),
                                               MSRPB_SUB(2, kRepMessage, Experiment, "experiments")};
inline constexpr MSRPBFieldSpec kStringFilter[] = {
    MSRPB_FIELD(1, kEnum, "match_type"),
    MSRPB_FIELD(2, kString, "expression"),
    MSRPB_FIELD(3, kBool, "case_sensitive"),
    MSRPB_FIELD(4, kRepString, "expression_list"),
};
inline constexpr MSRPBFieldSpec kUserAttribute[] = {
    MSRPB_FIELD(1, kInt64, "set_timestamp_millis"),
    MSRPB_FIELD(2, kString, "name"),
    MSRPB_FIELD(3, kString, "string_value"),
    MSRPB_FIELD(4, kInt64, "int_value"),
    MSRPB_FIELD(5, kFloat, ""),
    MSRPB_FIELD(6, kDouble, "double_value"),
};

#undef MSRPB_FIELD
#undef MSRPB_SUB

#define MSRPB_TYPE(name) \
    MSRPBMessageType{MSRPBMessageID::name, #name, static_cast<uint32_t>(std::size(k##name)), k##name},

inline constexpr std::array<MSRPBMessageType, kMSRPBMessageCount> kTypes = {MSRPB_FOR_EACH_MESSAGE(MSRPB_TYPE)};

#undef MSRPB_TYPE

}  // namespace MSRPBFieldTable
