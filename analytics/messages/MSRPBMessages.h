#pragma once
// One wrapper class per wire message. They add nothing to NANOMessageBase but
// the message type, so that callers can say what they hold and the typed
// accessors know what to build.

#include <optional>
#include <span>
#include <utility>

#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/NANOMessageBase.h"

#define MSRPB_MESSAGE_CLASS(Name)                                                                      \
    class MSRPB##Name : public NANOMessageBase {                                                       \
    public:                                                                                            \
        static const MSRPBMessageType& type() { return MSRPBMessageTypeFor(MSRPBMessageID::Name); }    \
        MSRPB##Name() : NANOMessageBase(type()) {}                                                     \
        explicit MSRPB##Name(NANOMessageBase&& base) : NANOMessageBase(type(), std::move(base)) {}     \
        static std::optional<MSRPB##Name> initWithMessageInfo(const NANOMessageInfo* info)             \
        {                                                                                              \
            std::optional<NANOMessageBase> base = NANOMessageBase::initWithMessageInfo(type(), info);  \
            if (!base) return std::nullopt;                                                            \
            return MSRPB##Name(std::move(*base));                                                      \
        }                                                                                              \
        static std::optional<MSRPB##Name> initWithBuffer(std::span<const uint8_t> bytes)               \
        {                                                                                              \
            std::optional<NANOMessageBase> base = NANOMessageBase::initWithBuffer(type(), bytes);      \
            if (!base) return std::nullopt;                                                            \
            return MSRPB##Name(std::move(*base));                                                      \
        }                                                                                              \
    }

MSRPB_MESSAGE_CLASS(AdCampaignInfo);
MSRPB_MESSAGE_CLASS(AppProperty);
MSRPB_MESSAGE_CLASS(Audience);
MSRPB_MESSAGE_CLASS(AudienceLeafFilterResult);
MSRPB_MESSAGE_CLASS(ClientProperty);
MSRPB_MESSAGE_CLASS(ConsentConfig);
MSRPB_MESSAGE_CLASS(ConsentDefaultEntry);
MSRPB_MESSAGE_CLASS(ConsentDelegationEntry);
MSRPB_MESSAGE_CLASS(CorePlatformServiceEntry);
MSRPB_MESSAGE_CLASS(CustomProperty);
MSRPB_MESSAGE_CLASS(DataControl);
MSRPB_MESSAGE_CLASS(DynamicFilterResultTimestamp);
MSRPB_MESSAGE_CLASS(Event);
MSRPB_MESSAGE_CLASS(EventConfig);
MSRPB_MESSAGE_CLASS(EventFilter);
MSRPB_MESSAGE_CLASS(EventParam);
MSRPB_MESSAGE_CLASS(Experiment);
MSRPB_MESSAGE_CLASS(ExperimentRequest);
MSRPB_MESSAGE_CLASS(ExperimentResponse);
MSRPB_MESSAGE_CLASS(Filter);
MSRPB_MESSAGE_CLASS(Flag);
MSRPB_MESSAGE_CLASS(MeasurementBatch);
MSRPB_MESSAGE_CLASS(MeasurementBundle);
MSRPB_MESSAGE_CLASS(MeasurementConfig);
MSRPB_MESSAGE_CLASS(NumberFilter);
MSRPB_MESSAGE_CLASS(EdtActivities);
MSRPB_MESSAGE_CLASS(EdtActivity);
MSRPB_MESSAGE_CLASS(Program);
MSRPB_MESSAGE_CLASS(PropertyFilter);
MSRPB_MESSAGE_CLASS(PsmSetting);
MSRPB_MESSAGE_CLASS(Region);
MSRPB_MESSAGE_CLASS(ResultData);
MSRPB_MESSAGE_CLASS(RuntimeEntity);
MSRPB_MESSAGE_CLASS(SdkResponse);
MSRPB_MESSAGE_CLASS(SequenceFilterResultTimestamp);
MSRPB_MESSAGE_CLASS(Setting);
MSRPB_MESSAGE_CLASS(SetmSetting);
MSRPB_MESSAGE_CLASS(SkAdNetworkConversionValueRequest);
MSRPB_MESSAGE_CLASS(SkAdNetworkConversionValueResponse);
MSRPB_MESSAGE_CLASS(Snapshot);
MSRPB_MESSAGE_CLASS(StringFilter);
MSRPB_MESSAGE_CLASS(UserAttribute);

#undef MSRPB_MESSAGE_CLASS
