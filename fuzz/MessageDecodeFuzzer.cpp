// Decodes server input or stored bytes as one message type (FUZZ_MESSAGE,
// set per target; or, for the stored audience and campaign messages, the type
// the first byte picks). The direct reader must end as nanopb's decoder ends, with
// the same cells. Whatever decodes must encode, and its encoding must decode
// and encode again to the very same bytes; a message the engine stores and
// reads back (the configuration, experiment snapshots, raw events, queued
// bundles) may not change on the way. Keeping the repeated message fields
// encoded changes nothing of that.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <span>

#include "analytics/support/MSRMonitor.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/reference/NANOReferenceCodec.h"
#include "fuzz/SilentMonitor.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::installSilentMonitor();
    return 0;
}

namespace {

int check(const MSRPBMessageType& type, const uint8_t* data, size_t size) {
    std::optional<NANOMessageBase> message = NANOMessageBase::initWithBuffer(type, std::span(data, size));
    NANOMessageInfoPtr reference = NANOMessageInfoCreate(type);
    const bool referenceDecodes = NANOMessageInfoDecodeWithNanopb(*reference, data, size);
    if (message.has_value() != referenceDecodes) std::abort();
    if (!message) {
        std::vector<uint32_t> all(type.fieldCount);
        for (uint32_t index = 0; index < type.fieldCount; ++index) all[index] = index;
        if (NANOMessageBase::initWithBufferKeepingEncoded(type, std::span(data, size), all)) std::abort();
        return 0;
    }
    if (!NANOMessageInfoEquals(*message->messageInfo(), *reference)) std::abort();
    std::optional<std::vector<uint8_t>> encoded = message->protoBuffer();
    if (!encoded) std::abort();
    std::optional<NANOMessageBase> again = NANOMessageBase::initWithBuffer(type, *encoded);
    if (!again || again->protoBuffer() != encoded) std::abort();
    // Keeping every repeated message field encoded must accept the same
    // bytes and give the same message, which encodes to bytes that read back
    // as it.
    std::vector<uint32_t> repeatedMessages;
    for (uint32_t index = 0; index < type.fieldCount; ++index) {
        const uint32_t word = type.fields[index].word;
        if ((word & kMSRPBLabelRepeated) && (word & kMSRPBKindMessage)) repeatedMessages.push_back(index);
    }
    if (!repeatedMessages.empty()) {
        std::optional<NANOMessageBase> kept =
            NANOMessageBase::initWithBufferKeepingEncoded(type, std::span(data, size), repeatedMessages);
        if (!kept || !NANOMessageInfoEquals(*kept->messageInfo(), *reference)) std::abort();
        std::optional<std::vector<uint8_t>> keptEncoding = kept->protoBuffer();
        if (!keptEncoding) std::abort();
        std::optional<NANOMessageBase> keptAgain = NANOMessageBase::initWithBuffer(type, *keptEncoding);
        if (!keptAgain || !NANOMessageInfoEquals(*keptAgain->messageInfo(), *reference)) std::abort();
    }
    // Reading every field by index must stay inside the message.
    for (uint32_t index = 0; index <= type.fieldCount; ++index) {
        (void)MSRPBHasField(*message, index);
        (void)MSRPBGetString(*message, index);
        (void)MSRPBGetArray(*message, index);
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef FUZZ_MESSAGE
    return check(MSRPBMessageTypeFor(MSRPBMessageID::FUZZ_MESSAGE), data, size);
#else
    // What the engine keeps of audiences and campaigns between starts.
    static constexpr MSRPBMessageID kStored[] = {MSRPBMessageID::AdCampaignInfo, MSRPBMessageID::Audience,
                                                 MSRPBMessageID::EventFilter, MSRPBMessageID::PropertyFilter};
    if (size == 0) return 0;
    return check(MSRPBMessageTypeFor(kStored[data[0] % std::size(kStored)]), data + 1, size - 1);
#endif
}
