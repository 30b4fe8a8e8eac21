#pragma once
// One wrapper class per wire message. They add nothing to NANOMessageBase but
// the message type, so that callers can say what they hold and the typed
// accessors know what to build.

#include <optional>
#include <span>
#include <utility>

#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/NANOMessageBase.h"

#define MSRPB_MESSAGE_CLASS(Name)                                                                     \
    class MSRPB##Name : public NANOMessageBase {                                                      \
      public:                                                                                         \
        static const MSRPBMessageType& type() { return MSRPBMessageTypeFor(MSRPBMessageID::Name); }   \
        MSRPB##Name() : NANOMessageBase(type()) {}                                                    \
        explicit MSRPB##Name(NANOMessageBase&& base) : NANOMessageBase(type(), std::move(base)) {}    \
        static std::optional<MSRPB##Name> initWithMessageInfo(const NANOMessageInfo* info) {          \
            std::optional<NANOMessageBase> base = NANOMessageBase::initWithMessageInfo(type(), info); \
            if (!base) return std::nullopt;                                                           \
            return MSRPB##Name(std::move(*base));                                                     \
        }                                                                                             \
        static std::optional<MSRPB##Name> initWithBuffer(std::span<const uint8_t> bytes) {            \
            std::optional<NANOMessageBase> base = NANOMessageBase::initWithBuffer(type(), bytes);     \
            if (!base) return std::nullopt;                                                           \
            return MSRPB##Name(std::move(*base));                                                     \
        }                                                                                             \
    };

MSRPB_FOR_EACH_MESSAGE(MSRPB_MESSAGE_CLASS)

#undef MSRPB_MESSAGE_CLASS
