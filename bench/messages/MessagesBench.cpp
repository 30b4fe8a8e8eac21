// Encoding and decoding of an upload batch of 500 events (5 bundles of 100
// events with four parameters each, plus the bundle metadata), in MB/s of
// encoded bytes; beside it the same bytes through protoc's C++ code, and the
// upload road's form: bundles whose events stay encoded.

#include <benchmark/benchmark.h>

#include <string>

#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/reference/NANOReferenceCodec.h"

#ifdef CALVARO_BENCH_WITH_PROTOBUF
#include "cpp/measurement.pb.h"
#endif

namespace {

MSRPBEventParam param(const char* name) {
    MSRPBEventParam p;
    MSRPBSetString(p, 0, name);
    return p;
}

MSRPBMeasurementBatch batchOf500Events() {
    std::vector<MSRPBMeasurementBundle> bundles;
    for (int b = 0; b < 5; ++b) {
        std::vector<MSRPBEvent> events;
        for (int e = 0; e < 100; ++e) {
            MSRPBEventParam steps = param("steps");
            MSRPBSetInt64(steps, 2, e);
            MSRPBEventParam screen = param("_sc");
            MSRPBSetString(screen, 1, "CalculateViewController");
            MSRPBEventParam value = param("value");
            MSRPBSetDouble(value, 4, e * 0.5);
            MSRPBEventParam origin = param("_o");
            MSRPBSetString(origin, 1, "app");
            MSRPBEvent event;
            MSRPBSetMessageArray(event, 0, std::vector<MSRPBEventParam>{steps, screen, value, origin});
            MSRPBSetString(event, 1, "kal_calculate");
            MSRPBSetInt64(event, 2, 1700000000000 + b * 100000 + e);
            events.push_back(std::move(event));
        }
        MSRPBUserAttribute attribute;
        MSRPBSetInt64(attribute, 0, 1690000000000);
        MSRPBSetString(attribute, 1, "_fot");
        MSRPBSetInt64(attribute, 3, 1690000000000);

        MSRPBMeasurementBundle bundle;
        MSRPBSetInt32(bundle, 0, 1);
        MSRPBSetMessageArray(bundle, 1, events);
        MSRPBSetMessageArray(bundle, 2, std::vector<MSRPBUserAttribute>{attribute});
        MSRPBSetInt64(bundle, 4, 1700000000000);
        MSRPBSetInt64(bundle, 5, 1700000100000);
        MSRPBSetString(bundle, 8, "ios");
        MSRPBSetString(bundle, 9, "17.2");
        MSRPBSetString(bundle, 10, "iPhone15,2");
        MSRPBSetString(bundle, 11, "de-de");
        MSRPBSetInt32(bundle, 12, 60);
        MSRPBSetString(bundle, 14, "de.calvaro.app");
        MSRPBSetString(bundle, 16, "1.4.2");
        MSRPBSetInt64(bundle, 17, 100000);
        MSRPBSetString(bundle, 22, "0123456789abcdef0123456789abcdef");
        MSRPBSetInt32(bundle, 24, b);
        MSRPBSetString(bundle, 40, "G111");
        bundles.push_back(std::move(bundle));
    }
    MSRPBMeasurementBatch batch;
    MSRPBSetMessageArray(batch, 0, bundles);
    return batch;
}

const std::vector<uint8_t>& encodedBatch() {
    static const std::vector<uint8_t> bytes = *batchOf500Events().protoBuffer();
    return bytes;
}

void BM_EncodeBatch500(benchmark::State& state) {
    const MSRPBMeasurementBatch batch = batchOf500Events();
    size_t size = 0;
    for (auto _ : state) {
        std::optional<std::vector<uint8_t>> bytes = batch.protoBuffer();
        size = bytes->size();
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_EncodeBatch500);

// The same batch through nanopb's own encoder, the reference the direct writer
// matches byte for byte.
void BM_EncodeBatch500WithNanopb(benchmark::State& state) {
    const MSRPBMeasurementBatch batch = batchOf500Events();
    size_t size = 0;
    for (auto _ : state) {
        std::optional<std::vector<uint8_t>> bytes = NANOMessageInfoEncodeWithNanopb(*batch.messageInfo());
        size = bytes->size();
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeBatch500WithNanopb);

void BM_DecodeBatch500(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBatch();
    for (auto _ : state) {
        std::optional<MSRPBMeasurementBatch> batch = MSRPBMeasurementBatch::initWithBuffer(bytes);
        benchmark::DoNotOptimize(batch);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeBatch500);

// One queued bundle of 100 events as the upload road reads it back: in full,
// and with its events kept encoded (still checked, never built).
const std::vector<uint8_t>& encodedBundle() {
    static const std::vector<uint8_t> bytes =
        *MSRPBGetMessageArray<MSRPBMeasurementBundle>(batchOf500Events(), 0).front().protoBuffer();
    return bytes;
}

void BM_DecodeBundle100(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBundle();
    for (auto _ : state) {
        std::optional<MSRPBMeasurementBundle> bundle = MSRPBMeasurementBundle::initWithBuffer(bytes);
        benchmark::DoNotOptimize(bundle);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeBundle100);

void BM_DecodeBundle100KeepingEvents(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBundle();
    const uint32_t kept[] = {1};
    for (auto _ : state) {
        std::optional<NANOMessageBase> bundle =
            NANOMessageBase::initWithBufferKeepingEncoded(MSRPBMeasurementBundle::type(), bytes, kept);
        benchmark::DoNotOptimize(bundle);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeBundle100KeepingEvents);

// The batch of 500 events encoded from bundles whose events are held
// encoded, as the upload road posts queued bundles.
void BM_EncodeBatch500KeptEvents(benchmark::State& state) {
    const std::vector<uint8_t>& bundleBytes = encodedBundle();
    const uint32_t kept[] = {1};
    std::vector<MSRPBMeasurementBundle> bundles;
    for (int b = 0; b < 5; ++b) {
        bundles.emplace_back(
            *NANOMessageBase::initWithBufferKeepingEncoded(MSRPBMeasurementBundle::type(), bundleBytes, kept));
    }
    MSRPBMeasurementBatch batch;
    MSRPBSetMessageArray(batch, 0, std::move(bundles));
    size_t size = 0;
    for (auto _ : state) {
        std::optional<std::vector<uint8_t>> bytes = batch.protoBuffer();
        size = bytes->size();
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeBatch500KeptEvents);

// The same bytes through nanopb's own decoder, the reference the direct reader
// matches.
void BM_DecodeBatch500WithNanopb(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = encodedBatch();
    for (auto _ : state) {
        NANOMessageInfoPtr info = NANOMessageInfoCreate(MSRPBMeasurementBatch::type());
        bool ok = NANOMessageInfoDecodeWithNanopb(*info, bytes.data(), bytes.size());
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
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
