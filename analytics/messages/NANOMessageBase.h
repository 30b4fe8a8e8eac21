#pragma once
// The wrapper every wire message is handled through. It owns one message info
// and never shares it: copying a wrapper copies the message deeply, and a
// moved-from wrapper holds no info (every accessor then logs and answers the
// neutral value).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analytics/messages/MSRPBMessageType.h"
#include "analytics/messages/NANOMessageInfo.h"

class NANOMessageBase {
  public:
    // An empty message of the type.
    explicit NANOMessageBase(const MSRPBMessageType& type);
    NANOMessageBase(const NANOMessageBase& other);
    NANOMessageBase& operator=(const NANOMessageBase& other);
    NANOMessageBase(NANOMessageBase&& other) noexcept = default;
    NANOMessageBase& operator=(NANOMessageBase&& other) noexcept = default;
    ~NANOMessageBase() = default;

    // A deep copy of `info` (nullptr: an empty message); nullopt when the info
    // belongs to another message type.
    static std::optional<NANOMessageBase> initWithMessageInfo(const MSRPBMessageType& type,
                                                              const NANOMessageInfo* info);
    // Takes `info` over without copying it; nullopt when it is missing or
    // belongs to another message type.
    static std::optional<NANOMessageBase> initWithMessageInfo(const MSRPBMessageType& type,
                                                              NANOMessageInfoPtr info);
    // Decodes `bytes`; nullopt when they do not decode as this type.
    static std::optional<NANOMessageBase> initWithBuffer(const MSRPBMessageType& type,
                                                         std::span<const uint8_t> bytes);

    // As initWithBuffer, but the repeated message fields named in
    // `keptEncoded` keep their elements encoded (see MSRPBSetEncodedMessageArray):
    // for a message whose lists are passed on, not read. Accepts and refuses
    // exactly the bytes initWithBuffer does.
    static std::optional<NANOMessageBase> initWithBufferKeepingEncoded(const MSRPBMessageType& type,
                                                                       std::span<const uint8_t> bytes,
                                                                       std::span<const uint32_t> keptEncoded);

    // The encoding (empty for an empty message); nullopt when encoding fails.
    std::optional<std::vector<uint8_t>> protoBuffer() const;

    const char* messageID() const { return type_->name; }
    const MSRPBMessageType& messageType() const { return *type_; }
    const NANOMessageInfo* messageInfo() const { return info_.get(); }
    NANOMessageInfo* messageInfo() { return info_.get(); }
    // Hands the info over; the wrapper is left as a moved-from one.
    NANOMessageInfoPtr takeMessageInfo() { return std::move(info_); }

  protected:
    // Takes `base` over as a message of `type`; a message of another type is
    // refused with a log line and leaves this wrapper without info.
    NANOMessageBase(const MSRPBMessageType& type, NANOMessageBase&& base);

  private:
    NANOMessageBase(const MSRPBMessageType& type, NANOMessageInfoPtr info);

    const MSRPBMessageType* type_;
    NANOMessageInfoPtr info_;
};
