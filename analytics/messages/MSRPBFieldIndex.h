#pragma once
// Field indices by name, looked up in the field tables at compile time. The
// bundle fields, the configuration parser and the collector all address
// fields through the names below, so the numbers are written once, in
// MSRPBFieldTable.h; a name that is not in the table does not compile.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analytics/messages/MSRPBFieldTable.h"

consteval uint32_t MSRPBFieldIndex(MSRPBMessageID id, std::string_view name) {
    const MSRPBMessageType& type = MSRPBFieldTable::kTypes[static_cast<size_t>(id)];
    for (uint32_t i = 0; i < type.fieldCount && !name.empty(); ++i) {
        if (std::string_view(type.fields[i].name) == name) return i;
    }
    throw "no field of that name in the message's table";
}

#define MSRPB_INDEX(message, name) MSRPBFieldIndex(MSRPBMessageID::message, name)

namespace MSRBatchSlot {
inline constexpr uint32_t kBundles = MSRPB_INDEX(MeasurementBatch, "bundles");
}  // namespace MSRBatchSlot

namespace MSRBundleSlot {
inline constexpr uint32_t kProtocolVersion = MSRPB_INDEX(MeasurementBundle, "protocol_version");
inline constexpr uint32_t kEvents = MSRPB_INDEX(MeasurementBundle, "events");
inline constexpr uint32_t kUserAttributes = MSRPB_INDEX(MeasurementBundle, "user_attributes");
inline constexpr uint32_t kUploadTimestamp = MSRPB_INDEX(MeasurementBundle, "upload_timestamp_millis");
inline constexpr uint32_t kStartTimestamp = MSRPB_INDEX(MeasurementBundle, "start_timestamp_millis");
inline constexpr uint32_t kEndTimestamp = MSRPB_INDEX(MeasurementBundle, "end_timestamp_millis");
inline constexpr uint32_t kPreviousBundleStartTimestamp =
    MSRPB_INDEX(MeasurementBundle, "previous_bundle_start_timestamp_millis");
inline constexpr uint32_t kPreviousBundleEndTimestamp =
    MSRPB_INDEX(MeasurementBundle, "previous_bundle_end_timestamp_millis");
inline constexpr uint32_t kPlatform = MSRPB_INDEX(MeasurementBundle, "platform");
inline constexpr uint32_t kOSVersion = MSRPB_INDEX(MeasurementBundle, "os_version");
inline constexpr uint32_t kDeviceModel = MSRPB_INDEX(MeasurementBundle, "device_model");
inline constexpr uint32_t kUserDefaultLanguage = MSRPB_INDEX(MeasurementBundle, "user_default_language");
inline constexpr uint32_t kTimeZoneOffsetMinutes = MSRPB_INDEX(MeasurementBundle, "timezone_offset_minutes");
inline constexpr uint32_t kAppStore = MSRPB_INDEX(MeasurementBundle, "app_store");
inline constexpr uint32_t kAppID = MSRPB_INDEX(MeasurementBundle, "app_id");
inline constexpr uint32_t kAppVersion = MSRPB_INDEX(MeasurementBundle, "app_version");
inline constexpr uint32_t kLibraryVersion = MSRPB_INDEX(MeasurementBundle, "zmp_version");
inline constexpr uint32_t kUploadingLibraryVersion = MSRPB_INDEX(MeasurementBundle, "uploading_zmp_version");
inline constexpr uint32_t kResettableDeviceID = MSRPB_INDEX(MeasurementBundle, "resettable_device_id");
inline constexpr uint32_t kVendorDeviceID = MSRPB_INDEX(MeasurementBundle, "vendor_device_id");
inline constexpr uint32_t kLimitedAdTracking = MSRPB_INDEX(MeasurementBundle, "limited_ad_tracking");
inline constexpr uint32_t kAppInstanceID = MSRPB_INDEX(MeasurementBundle, "app_instance_id");
inline constexpr uint32_t kBundleIndex = MSRPB_INDEX(MeasurementBundle, "bundle_sequential_index");
inline constexpr uint32_t kMonitoringSample = MSRPB_INDEX(MeasurementBundle, "monitoring_sample");
inline constexpr uint32_t kZMPAppID = MSRPB_INDEX(MeasurementBundle, "zmp_app_id");
inline constexpr uint32_t kAudienceResults = MSRPB_INDEX(MeasurementBundle, "audience_evaluation_results");
inline constexpr uint32_t kInstallationID = MSRPB_INDEX(MeasurementBundle, "vuzedezo_installation_id");
inline constexpr uint32_t kAppVersionMajor = MSRPB_INDEX(MeasurementBundle, "app_version_major");
inline constexpr uint32_t kAppVersionMinor = MSRPB_INDEX(MeasurementBundle, "app_version_minor");
inline constexpr uint32_t kAppVersionRelease = MSRPB_INDEX(MeasurementBundle, "app_version_release");
inline constexpr uint32_t kConfigVersion = MSRPB_INDEX(MeasurementBundle, "config_version");
inline constexpr uint32_t kRetryCount = MSRPB_INDEX(MeasurementBundle, "retry_count");
inline constexpr uint32_t kAdzevAppID = MSRPB_INDEX(MeasurementBundle, "adzev_app_id");
inline constexpr uint32_t kExperimentIDs = MSRPB_INDEX(MeasurementBundle, "experiment_ids");
inline constexpr uint32_t kChecksum = MSRPB_INDEX(MeasurementBundle, "checksum");
inline constexpr uint32_t kConsentSignals = MSRPB_INDEX(MeasurementBundle, "consent_signals");
inline constexpr uint32_t kTrackingAuthorizationStatus = MSRPB_INDEX(MeasurementBundle, "att_consent_status");
inline constexpr uint32_t kSessionStitchingToken = MSRPB_INDEX(MeasurementBundle, "session_stitching_token");
inline constexpr uint32_t kDataControls = MSRPB_INDEX(MeasurementBundle, "redacted_fields");
inline constexpr uint32_t kEphemeralAppInstanceID =
    MSRPB_INDEX(MeasurementBundle, "ephemeral_app_instance_id");
inline constexpr uint32_t kConsentDiagnostics = MSRPB_INDEX(MeasurementBundle, "consent_diagnostics");
inline constexpr uint32_t kDMARegion = MSRPB_INDEX(MeasurementBundle, "is_dma_region");
inline constexpr uint32_t kCorePlatformServices = MSRPB_INDEX(MeasurementBundle, "core_platform_services");
inline constexpr uint32_t kAdCampaignInfo = MSRPB_INDEX(MeasurementBundle, "ad_campaign_info");
}  // namespace MSRBundleSlot

namespace MSRUserAttributeSlot {
inline constexpr uint32_t kSetTimestamp = MSRPB_INDEX(UserAttribute, "set_timestamp_millis");
inline constexpr uint32_t kName = MSRPB_INDEX(UserAttribute, "name");
inline constexpr uint32_t kStringValue = MSRPB_INDEX(UserAttribute, "string_value");
inline constexpr uint32_t kIntValue = MSRPB_INDEX(UserAttribute, "int_value");
inline constexpr uint32_t kDoubleValue = MSRPB_INDEX(UserAttribute, "double_value");
}  // namespace MSRUserAttributeSlot

namespace MSREventSlot {
inline constexpr uint32_t kParams = MSRPB_INDEX(Event, "params");
inline constexpr uint32_t kName = MSRPB_INDEX(Event, "name");
inline constexpr uint32_t kTimestamp = MSRPB_INDEX(Event, "timestamp_millis");
inline constexpr uint32_t kPreviousTimestamp = MSRPB_INDEX(Event, "previous_timestamp_millis");
}  // namespace MSREventSlot

namespace MSREventParamSlot {
inline constexpr uint32_t kName = MSRPB_INDEX(EventParam, "name");
inline constexpr uint32_t kStringValue = MSRPB_INDEX(EventParam, "string_value");
inline constexpr uint32_t kIntValue = MSRPB_INDEX(EventParam, "int_value");
inline constexpr uint32_t kDoubleValue = MSRPB_INDEX(EventParam, "double_value");
inline constexpr uint32_t kParamValue = MSRPB_INDEX(EventParam, "param_value");
}  // namespace MSREventParamSlot

// The server's configuration and the messages it holds.
namespace MSRConfigSlot {
inline constexpr uint32_t kVersion = MSRPB_INDEX(MeasurementConfig, "version");
inline constexpr uint32_t kAppID = MSRPB_INDEX(MeasurementConfig, "app_id");
inline constexpr uint32_t kSettings = MSRPB_INDEX(MeasurementConfig, "settings");
inline constexpr uint32_t kEventConfigs = MSRPB_INDEX(MeasurementConfig, "event_config");
inline constexpr uint32_t kAudiences = MSRPB_INDEX(MeasurementConfig, "audiences");
inline constexpr uint32_t kAdzevAppID = MSRPB_INDEX(MeasurementConfig, "adzev_app_id");
inline constexpr uint32_t kPrograms = MSRPB_INDEX(MeasurementConfig, "dynamic_event_editing");
inline constexpr uint32_t kDataControls = MSRPB_INDEX(MeasurementConfig, "data_controls");
inline constexpr uint32_t kUploadSubdomain = MSRPB_INDEX(MeasurementConfig, "upload_subdomain");
inline constexpr uint32_t kConsentConfig = MSRPB_INDEX(MeasurementConfig, "consent_config");
inline constexpr uint32_t kPsmSetting = MSRPB_INDEX(MeasurementConfig, "psm_setting");
}  // namespace MSRConfigSlot

namespace MSRSettingSlot {
inline constexpr uint32_t kName = MSRPB_INDEX(Setting, "name");
inline constexpr uint32_t kValue = MSRPB_INDEX(Setting, "value");
}  // namespace MSRSettingSlot

namespace MSREventConfigSlot {
inline constexpr uint32_t kName = MSRPB_INDEX(EventConfig, "name");
inline constexpr uint32_t kBlocklisted = MSRPB_INDEX(EventConfig, "blocklisted");
inline constexpr uint32_t kCustomConversion = MSRPB_INDEX(EventConfig, "custom_conversion");
inline constexpr uint32_t kSamplingRate = MSRPB_INDEX(EventConfig, "sampling_rate");
}  // namespace MSREventConfigSlot

namespace MSRDataControlSlot {
inline constexpr uint32_t kName = MSRPB_INDEX(DataControl, "name");
}  // namespace MSRDataControlSlot

namespace MSRConsentConfigSlot {
inline constexpr uint32_t kDefaults = MSRPB_INDEX(ConsentConfig, "defaults");
inline constexpr uint32_t kDelegations = MSRPB_INDEX(ConsentConfig, "delegations");
inline constexpr uint32_t kCorePlatformServices = MSRPB_INDEX(ConsentConfig, "core_platform_services");
inline constexpr uint32_t kIsDMARegion = MSRPB_INDEX(ConsentConfig, "is_dma_region");
inline constexpr uint32_t kEnforcedDefaults = MSRPB_INDEX(ConsentConfig, "enforced_defaults");
}  // namespace MSRConsentConfigSlot

namespace MSRConsentDefaultSlot {
inline constexpr uint32_t kConsentType = MSRPB_INDEX(ConsentDefaultEntry, "consent_type");
inline constexpr uint32_t kStatus = MSRPB_INDEX(ConsentDefaultEntry, "status");
}  // namespace MSRConsentDefaultSlot

namespace MSRConsentDelegationSlot {
inline constexpr uint32_t kConsentType = MSRPB_INDEX(ConsentDelegationEntry, "consent_type");
inline constexpr uint32_t kDelegateType = MSRPB_INDEX(ConsentDelegationEntry, "delegate_type");
}  // namespace MSRConsentDelegationSlot

namespace MSRCorePlatformServiceSlot {
inline constexpr uint32_t kName = MSRPB_INDEX(CorePlatformServiceEntry, "name");
}  // namespace MSRCorePlatformServiceSlot

namespace MSRPsmSettingSlot {
inline constexpr uint32_t kPrefixEmail = MSRPB_INDEX(PsmSetting, "prefix_email");
inline constexpr uint32_t kPrefixPhone = MSRPB_INDEX(PsmSetting, "prefix_phone");
inline constexpr uint32_t kSignInDelay = MSRPB_INDEX(PsmSetting, "signin_delay");
}  // namespace MSRPsmSettingSlot

#undef MSRPB_INDEX
