// Encoding and decoding of an upload batch of 500 events (5 bundles of 100
// events with four parameters each, plus the bundle metadata), in MB/s of
// encoded bytes; beside it the same bytes through protoc's C++ code, and the
// upload road's form: bundles whose events stay encoded.

#include <benchmark/benchmark.h>

#include <string>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/reference/NANOReferenceCodec.h"

#ifdef CALVARO_BENCH_WITH_PROTOBUF
#include "cpp/measurement.pb.h"
#endif

namespace {

MSRPBEventParam param(const char* name) {
    MSRPBEventParam p;
    MSRPBSetString(p, MSREventParamSlot::kName, name);
    return p;
}

MSRPBMeasurementBatch batchOf500Events() {
    std::vector<MSRPBMeasurementBundle> bundles;
    for (int b = 0; b < 5; ++b) {
        std::vector<MSRPBEvent> events;
        for (int e = 0; e < 100; ++e) {
            MSRPBEventParam steps = param("steps");
            MSRPBSetInt64(steps, MSREventParamSlot::kIntValue, e);
            MSRPBEventParam screen = param("_sc");
            MSRPBSetString(screen, MSREventParamSlot::kStringValue, "CalculateViewController");
            MSRPBEventParam value = param("value");
            MSRPBSetDouble(value, MSREventParamSlot::kDoubleValue, e * 0.5);
            MSRPBEventParam origin = param("_o");
            MSRPBSetString(origin, MSREventParamSlot::kStringValue, "app");
            MSRPBEvent event;
            MSRPBSetMessageArray(event, MSREventSlot::kParams,
                                 std::vector<MSRPBEventParam>{steps, screen, value, origin});
            MSRPBSetString(event, MSREventSlot::kName, "kal_calculate");
            MSRPBSetInt64(event, MSREventSlot::kTimestamp, 1700000000000 + b * 100000 + e);
            events.push_back(std::move(event));
        }
        MSRPBUserAttribute attribute;
        MSRPBSetInt64(attribute, MSRUserAttributeSlot::kSetTimestamp, 1690000000000);
        MSRPBSetString(attribute, MSRUserAttributeSlot::kName, "_fot");
        MSRPBSetInt64(attribute, MSRUserAttributeSlot::kIntValue, 1690000000000);

        MSRPBMeasurementBundle bundle;
        MSRPBSetInt32(bundle, MSRBundleSlot::kProtocolVersion, 1);
        MSRPBSetMessageArray(bundle, MSRBundleSlot::kEvents, events);
        MSRPBSetMessageArray(bundle, MSRBundleSlot::kUserAttributes,
                             std::vector<MSRPBUserAttribute>{attribute});
        MSRPBSetInt64(bundle, MSRBundleSlot::kStartTimestamp, 1700000000000);
        MSRPBSetInt64(bundle, MSRBundleSlot::kEndTimestamp, 1700000100000);
        MSRPBSetString(bundle, MSRBundleSlot::kPlatform, "ios");
        MSRPBSetString(bundle, MSRBundleSlot::kOSVersion, "17.2");
        MSRPBSetString(bundle, MSRBundleSlot::kDeviceModel, "iPhone15,2");
        MSRPBSetString(bundle, MSRBundleSlot::kUserDefaultLanguage, "de-de");
        MSRPBSetInt32(bundle, MSRBundleSlot::kTimeZoneOffsetMinutes, 60);
        MSRPBSetString(bundle, MSRBundleSlot::kAppID, "de.calvaro.app");
        MSRPBSetString(bundle, MSRBundleSlot::kAppVersion, "1.4.2");
        MSRPBSetInt64(bundle, MSRBundleSlot::kLibraryVersion, 100000);
        MSRPBSetString(bundle, MSRBundleSlot::kAppInstanceID, "0123456789abcdef0123456789abcdef");
        MSRPBSetInt32(bundle, MSRBundleSlot::kBundleIndex, b);
        MSRPBSetString(bundle, MSRBundleSlot::kConsentSignals, "G111");
        bundles.push_back(std::move(bundle));
    }
    MSRPBMeasurementBatch batch;
    MSRPBSetMessageArray(batch, MSRBatchSlot::kBundles, bundles);
    return batch;
}

const std::vector<uint8_t>& encodedBatch() {
    static const std::vector<uint8_t> bytes = *batchOf500Events().protoBuffer();
    return bytes;
}

// Runs `step` once per iteration, `bytes` encoded bytes passing each time.
template <typename Step>
void overBytes(benchmark::State& state, size_t bytes, Step step) {
    for (auto _ : state) {
        auto result = step();
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_EncodeBatch500(benchmark::State& state) {
    const MSRPBMeasurementBatch batch = batchOf500Events();
    const size_t size = encodedBatch().size();
    overBytes(state, size, [&] { return batch.protoBuffer(); });
    state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_EncodeBatch500);

// The same batch through nanopb's own encoder, the reference the direct writer
// matches byte for byte.
void BM_EncodeBatch500WithNanopb(benchmark::State& state) {
    const MSRPBMeasurementBatch batch = batchOf500Events();
    overBytes(state, encodedBatch().size(),
              [&] { return NANOMessageInfoEncodeWithNanopb(*batch.messageInfo()); });
}
BENCHMARK(BM_EncodeBatch500WithNanopb);

void BM_DecodeBatch500(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBatch();
    overBytes(state, bytes.size(), [&] { return MSRPBMeasurementBatch::initWithBuffer(bytes); });
}
BENCHMARK(BM_DecodeBatch500);

// One queued bundle of 100 events as the upload road reads it back: in full,
// and with its events kept encoded (still checked, never built).
const std::vector<uint8_t>& encodedBundle() {
    static const std::vector<uint8_t> bytes =
        *MSRPBGetMessageArray<MSRPBMeasurementBundle>(batchOf500Events(), MSRBatchSlot::kBundles)
             .front()
             .protoBuffer();
    return bytes;
}
constexpr uint32_t kKeptEvents[] = {MSRBundleSlot::kEvents};

void BM_DecodeBundle100(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBundle();
    overBytes(state, bytes.size(), [&] { return MSRPBMeasurementBundle::initWithBuffer(bytes); });
}
BENCHMARK(BM_DecodeBundle100);

void BM_DecodeBundle100KeepingEvents(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBundle();
    overBytes(state, bytes.size(), [&] {
        return NANOMessageBase::initWithBufferKeepingEncoded(MSRPBMeasurementBundle::type(), bytes,
                                                             kKeptEvents);
    });
}
BENCHMARK(BM_DecodeBundle100KeepingEvents);

// The batch of 500 events encoded from bundles whose events are held
// encoded, as the upload road posts queued bundles.
void BM_EncodeBatch500KeptEvents(benchmark::State& state) {
    std::vector<MSRPBMeasurementBundle> bundles;
    for (int b = 0; b < 5; ++b) {
        bundles.emplace_back(*NANOMessageBase::initWithBufferKeepingEncoded(MSRPBMeasurementBundle::type(),
                                                                            encodedBundle(), kKeptEvents));
    }
    MSRPBMeasurementBatch batch;
    MSRPBSetMessageArray(batch, MSRBatchSlot::kBundles, std::move(bundles));
    overBytes(state, batch.protoBuffer()->size(), [&] { return batch.protoBuffer(); });
}
BENCHMARK(BM_EncodeBatch500KeptEvents);

// The same bytes through nanopb's own decoder, the reference the direct reader
// matches.
void BM_DecodeBatch500WithNanopb(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBatch();
    overBytes(state, bytes.size(), [&] {
        NANOMessageInfoPtr info = NANOMessageInfoCreate(MSRPBMeasurementBatch::type());
        return NANOMessageInfoDecodeWithNanopb(*info, bytes.data(), bytes.size());
    });
}
BENCHMARK(BM_DecodeBatch500WithNanopb);

#ifdef CALVARO_BENCH_WITH_PROTOBUF
void BM_ProtobufCppEncodeBatch500(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBatch();
    msr::MeasurementBatch batch;
    batch.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
    for (auto _ : state) {
        std::string out;
        batch.SerializeToString(&out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ProtobufCppEncodeBatch500);

void BM_ProtobufCppDecodeBatch500(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBatch();
    for (auto _ : state) {
        msr::MeasurementBatch batch;
        bool ok = batch.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ProtobufCppDecodeBatch500);
#endif

}  // namespace
