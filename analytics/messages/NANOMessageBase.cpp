#include "analytics/messages/NANOMessageBase.h"

#include "analytics/messages/MSRPBLog.h"

NANOMessageBase::NANOMessageBase(const MSRPBMessageType& type)
    : type_(&type), info_(NANOMessageInfoCreate(type)) {}

NANOMessageBase::NANOMessageBase(const MSRPBMessageType& type, NANOMessageInfoPtr info)
    : type_(&type), info_(std::move(info)) {}

NANOMessageBase::NANOMessageBase(const MSRPBMessageType& type, NANOMessageBase&& base) : type_(&type) {
    if (base.type_ != &type) {
        MSRPBLog(46000, "<ERROR> Message %s can't be taken as %s", base.type_->name, type.name);
        return;
    }
    info_ = std::move(base.info_);
}

NANOMessageBase::NANOMessageBase(const NANOMessageBase& other)
    : type_(other.type_), info_(other.info_ ? NANOMessageInfoCopy(*other.info_) : nullptr) {}

NANOMessageBase& NANOMessageBase::operator=(const NANOMessageBase& other) {
    if (this != &other) {
        type_ = other.type_;
        info_ = other.info_ ? NANOMessageInfoCopy(*other.info_) : nullptr;
    }
    return *this;
}

std::optional<NANOMessageBase> NANOMessageBase::initWithMessageInfo(const MSRPBMessageType& type,
                                                                    const NANOMessageInfo* info) {
    if (info == nullptr) return NANOMessageBase(type);
    if (info->type != &type) return std::nullopt;
    return NANOMessageBase(type, NANOMessageInfoCopy(*info));
}

std::optional<NANOMessageBase> NANOMessageBase::initWithMessageInfo(const MSRPBMessageType& type,
                                                                    NANOMessageInfoPtr info) {
    if (info == nullptr || info->type != &type) return std::nullopt;
    return NANOMessageBase(type, std::move(info));
}

std::optional<NANOMessageBase> NANOMessageBase::initWithBuffer(const MSRPBMessageType& type,
                                                               std::span<const uint8_t> bytes) {
    NANOMessageInfoPtr info = NANOMessageInfoCreate(type);
    if (!NANOMessageInfoDecode(*info, bytes.data(), bytes.size())) return std::nullopt;
    return NANOMessageBase(type, std::move(info));
}

std::optional<NANOMessageBase> NANOMessageBase::initWithBufferKeepingEncoded(const MSRPBMessageType& type,
                                                                             std::span<const uint8_t> bytes,
                                                                             std::span<const uint32_t> keptEncoded) {
    NANOMessageInfoPtr info = NANOMessageInfoCreate(type);
    if (!NANOMessageInfoDecodeKeepingEncoded(*info, bytes.data(), bytes.size(), keptEncoded)) return std::nullopt;
    return NANOMessageBase(type, std::move(info));
}

std::optional<std::vector<uint8_t>> NANOMessageBase::protoBuffer() const {
    if (!info_) return std::nullopt;
    return NANOMessageInfoEncode(*info_);
}
