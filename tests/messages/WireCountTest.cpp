// Fields counted on the wire agree with what decoding gives, whatever else
// the bytes carry, and bytes that do not read give no count.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/MSRPBWireCount.h"

namespace {

MSRPBSnapshot snapshotOf(int32_t experiments) {
    std::vector<MSRPBExperiment> list(static_cast<size_t>(experiments));
    for (int32_t id = 0; id < experiments; ++id) MSRPBSetInt32(list[id], MSRExperimentSlot::kExperimentID, id);
    MSRPBSnapshot snapshot;
    MSRPBSetString(snapshot, MSRSnapshotSlot::kSDKName, "lib");
    MSRPBSetMessageArray(snapshot, MSRSnapshotSlot::kExperiments, std::move(list));
    return snapshot;
}

TEST(WireCount, CountsNestedOccurrencesAndSkipsWhatElseComes) {
    MSRPBSdkResponse library;
    MSRPBSetString(library, MSRSdkResponseSlot::kSDKName, "lib");
    MSRPBSetInt32(library, MSRSdkResponseSlot::kStatus, 2);
    MSRPBSetMessage(library, MSRSdkResponseSlot::kSnapshot, snapshotOf(2));
    MSRPBExperimentResponse response;
    MSRPBSetMessageArray(response, MSRExperimentResponseSlot::kSnapshots,
                         std::vector<MSRPBSnapshot>{snapshotOf(3), snapshotOf(0), snapshotOf(4)});
    MSRPBSetMessageArray(response, MSRExperimentResponseSlot::kSdkResponses, std::vector<MSRPBSdkResponse>{library});
    std::vector<uint8_t> bytes = *response.protoBuffer();
    // Fields this side does not know, of every wire type, come after.
    const std::vector<uint8_t> unknown = {0x78, 0x05,                                      // 15: varint
                                          0x81, 0x01, 1, 2, 3, 4, 5, 6, 7, 8,              // 16: fixed64
                                          0x8a, 0x01, 0x02, 0x10, 0x01,                    // 17: bytes
                                          0x95, 0x01, 1, 2, 3, 4};                         // 18: fixed32
    bytes.insert(bytes.end(), unknown.begin(), unknown.end());
    const MSRPBMessageType& type = MSRPBExperimentResponse::type();
    namespace R = MSRExperimentResponseSlot;
    EXPECT_EQ(MSRPBCountEncodedFields(bytes, type, {R::kSnapshots}), 3u);
    EXPECT_EQ(MSRPBCountEncodedFields(bytes, type, {R::kSnapshots, MSRSnapshotSlot::kExperiments}), 7u);
    EXPECT_EQ(MSRPBCountEncodedFields(bytes, type,
                                      {R::kSdkResponses, MSRSdkResponseSlot::kSnapshot, MSRSnapshotSlot::kExperiments}),
              2u);
    EXPECT_EQ(MSRPBCountEncodedFields(std::vector<uint8_t>{}, type, {R::kSnapshots}), 0u);
    // The most within one snapshot, beside the sum over all of them.
    const auto tally = MSRPBTallyEncodedFields(bytes, type, {R::kSnapshots, MSRSnapshotSlot::kExperiments});
    ASSERT_TRUE(tally);
    EXPECT_EQ(tally->total, 7u);
    EXPECT_EQ(tally->mostInOneMessage, 4u);
    // Each experiment holds its ID, two bytes on the wire.
    EXPECT_EQ(tally->bytes, 14u);
    const auto names = MSRPBTallyEncodedFields(bytes, type, {R::kSnapshots, MSRSnapshotSlot::kSDKName});
    ASSERT_TRUE(names);
    EXPECT_EQ(names->bytes, 9u);

    // Bytes that do not read, and paths that are none.
    const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 7);
    EXPECT_EQ(MSRPBCountEncodedFields(cut, type, {R::kSnapshots, MSRSnapshotSlot::kExperiments}), std::nullopt);
    EXPECT_EQ(MSRPBCountEncodedFields(std::vector<uint8_t>{0x0a, 0x7f, 0x00}, type, {R::kSnapshots}), std::nullopt);
    EXPECT_EQ(MSRPBCountEncodedFields(std::vector<uint8_t>{0x0f, 0x00}, type, {R::kSnapshots}), std::nullopt);
    EXPECT_EQ(MSRPBCountEncodedFields(bytes, type, {R::kSdkResponses, MSRSdkResponseSlot::kSDKName, 0}), std::nullopt);
    EXPECT_EQ(MSRPBCountEncodedFields(bytes, type, {R::kSdkResponses + 5}), std::nullopt);
    EXPECT_EQ(MSRPBCountEncodedFields(bytes, type, {}), std::nullopt);
}

// Messages of one type nested at any depth within each element of a list:
// what the entities of a program come to before any is built.
TEST(WireCount, CountsNestedMessagesAtAnyDepth) {
    // An entity of `children` children, each `depth` - 1 deep.
    std::function<MSRPBRuntimeEntity(int, int)> entity = [&](int depth, int children) {
        MSRPBRuntimeEntity made;
        MSRPBSetInt32(made, 0, depth > 1 ? 4 : 3);
        if (depth > 1) {
            MSRPBSetString(made, 2, "array");
            MSRPBSetMessageArray(made, 1,
                                 std::vector<MSRPBRuntimeEntity>(static_cast<size_t>(children), entity(depth - 1, children)));
        }
        return made;
    };
    auto programOf = [](std::vector<MSRPBRuntimeEntity> statements, std::vector<MSRPBRuntimeEntity> data) {
        MSRPBProgram program;
        MSRPBSetMessageArray(program, 0, std::move(statements));
        MSRPBEdtActivity activity;
        MSRPBSetString(activity, 0, "rules");
        MSRPBSetMessageArray(activity, 1, std::move(data));
        MSRPBEdtActivities activities;
        MSRPBSetMessageArray(activities, 0, std::vector<MSRPBEdtActivity>{activity});
        MSRPBSetMessage(program, 1, activities);
        return program;
    };
    MSRPBMeasurementConfig config;
    MSRPBSetString(config, MSRConfigSlot::kAppID, "app");
    // 1 + 3 + 9 + 27 = 40 entities, and 1 + 2 + 4 in the activity; 1 in the second program.
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms,
                         std::vector<MSRPBProgram>{programOf({entity(4, 3)}, {entity(3, 2)}), programOf({entity(1, 0)}, {})});
    const std::vector<uint8_t> bytes = *config.protoBuffer();
    const MSRPBMessageType& type = MSRPBMeasurementConfig::type();
    const auto tally = MSRPBTallyEncodedNestedMessages(bytes, type, {MSRConfigSlot::kPrograms}, MSRPBMessageID::RuntimeEntity);
    ASSERT_TRUE(tally);
    EXPECT_EQ(tally->total, 48u);
    EXPECT_EQ(tally->mostInOneMessage, 47u);
    // A path that ends in no message field, and bytes that do not read.
    EXPECT_EQ(MSRPBTallyEncodedNestedMessages(bytes, type, {MSRConfigSlot::kAppID}, MSRPBMessageID::RuntimeEntity),
              std::nullopt);
    const std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 3);
    EXPECT_EQ(MSRPBTallyEncodedNestedMessages(cut, type, {MSRConfigSlot::kPrograms}, MSRPBMessageID::RuntimeEntity),
              std::nullopt);
    // Nesting deeper than a decode accepts is no count either.
    MSRPBMeasurementConfig deep;
    MSRPBSetMessageArray(deep, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{programOf({entity(80, 1)}, {})});
    EXPECT_EQ(MSRPBTallyEncodedNestedMessages(*deep.protoBuffer(), type, {MSRConfigSlot::kPrograms},
                                              MSRPBMessageID::RuntimeEntity),
              std::nullopt);
}

}  // namespace
