// Experiment records and the reading of a server's response: flag values,
// snapshots made from messages, per-library errors.

#include <gtest/gtest.h>

#include "ExperimentsHarness.h"

namespace {

class ExperimentRecordsTest : public ExperimentsTest {};

TEST_F(ExperimentRecordsTest, FlagValuesGoIntoOneFieldAndReadBackInFieldOrder) {
    struct Case {
        MSREFlagValue value;
        uint32_t field;
        MSREFlagValue readBack;
    };
    const Case cases[] = {
        {MSREFlagValue(1.5), MSRFlagSlot::kDoubleValue, MSREFlagValue(1.5)},
        {MSREFlagValue(true), MSRFlagSlot::kIntValue, MSREFlagValue(int64_t{1})},
        {MSREFlagValue(int64_t{-7}), MSRFlagSlot::kIntValue, MSREFlagValue(int64_t{-7})},
        {MSREFlagValue(std::string("blue")), MSRFlagSlot::kStringValue, MSREFlagValue(std::string("blue"))},
    };
    for (const Case& c : cases) {
        std::optional<MSRPBFlag> made = MSRPBFlagWithNameAndValue("a", c.value);
        ASSERT_TRUE(made);
        for (uint32_t field : {MSRFlagSlot::kIntValue, MSRFlagSlot::kStringValue, MSRFlagSlot::kDoubleValue,
                               MSRFlagSlot::kBoolValue})
            EXPECT_EQ(MSRPBHasField(*made, field), field == c.field) << field;
        EXPECT_EQ(MSRPBFlagValue(made), c.readBack);
    }
    EXPECT_FALSE(MSRPBFlagWithNameAndValue("", MSREFlagValue(int64_t{1})));

    // Integer beats text; a bare boolean reads as a boolean; no value reads as none.
    MSRPBFlag both = flag("a", 5);
    MSRPBSetString(both, MSRFlagSlot::kStringValue, "five");
    EXPECT_EQ(MSRPBFlagValue(both), MSREFlagValue(int64_t{5}));
    MSRPBFlag onlyBool;
    MSRPBSetString(onlyBool, MSRFlagSlot::kName, "b");
    MSRPBSetBool(onlyBool, MSRFlagSlot::kBoolValue, true);
    EXPECT_EQ(MSRPBFlagValue(onlyBool), MSREFlagValue(true));
    MSRPBClearField(onlyBool, MSRFlagSlot::kBoolValue);
    EXPECT_FALSE(MSRPBFlagValue(onlyBool));
}

TEST_F(ExperimentRecordsTest, ExperimentsAndSnapshotsKeepTheLaterOfTwoOfTheSameName) {
    auto experiment = MSREExperiment::initWithExperimentID(3, {flag("x", 1), flag("x", 2)});
    ASSERT_TRUE(experiment);
    EXPECT_EQ(experiment->flags().size(), 1u);
    EXPECT_EQ(MSRPBFlagValue(experiment->flagWithName("x")), MSREFlagValue(int64_t{2}));

    // A message round trip keeps IDs and flags; an ID left out reads as 0.
    MSRPBExperiment unnumbered = experiment->proto();
    MSRPBClearField(unnumbered, MSRExperimentSlot::kExperimentID);
    EXPECT_EQ(MSREExperiment::initWithProtobuf(unnumbered).experimentID(), 0);

    MSRESnapshot original = snapshot("lib", {7, 5});
    auto again = MSRESnapshot::initWithProtobuf(original.proto());
    ASSERT_TRUE(again);
    EXPECT_EQ(ids(*again), (std::vector<int64_t>{5, 7}));
    EXPECT_EQ(MSRPBFlagValue(again->flagByName("flag_7")), MSREFlagValue(int64_t{7}));
    EXPECT_FALSE(again->flagByName("missing"));

    MSRPBSnapshot nameless = original.proto();
    MSRPBClearField(nameless, MSRSnapshotSlot::kSDKName);
    EXPECT_FALSE(MSRESnapshot::initWithProtobuf(nameless));

    // A copy made a day later is stamped a day later and is not manual.
    original.setManuallyActivated(true);
    executor().advanceBy(86400);
    MSRESnapshot copy = original.copy();
    EXPECT_DOUBLE_EQ(copy.timestamp() - original.timestamp(), 86400);
    EXPECT_FALSE(copy.manuallyActivated());
}

TEST_F(ExperimentRecordsTest, ResponsesGiveSnapshotsFromOneListAndErrorsFromEveryLibrary) {
    auto sdkResponse = [](const std::string& name, int32_t status, std::optional<std::string> innerName) {
        MSRPBSdkResponse response;
        MSRPBSetString(response, MSRSdkResponseSlot::kSDKName, name);
        MSRPBSetInt32(response, MSRSdkResponseSlot::kStatus, status);
        if (innerName) {
            MSRPBSnapshot inner = snapshot(*innerName, {1}).proto();
            MSRPBSetMessage(response, MSRSdkResponseSlot::kSnapshot, inner);
        }
        return response;
    };
    // Two snapshots and three library answers: the snapshots only, and the
    // answers' errors all the same.
    MSRPBExperimentResponse full;
    MSRPBSetMessageArray(full, MSRExperimentResponseSlot::kSnapshots,
                         std::vector<MSRPBSnapshot>{snapshot("a", {1}).proto(), snapshot("b", {2}).proto()});
    MSRPBSetMessageArray(
        full, MSRExperimentResponseSlot::kSdkResponses,
        std::vector<MSRPBSdkResponse>{sdkResponse("c", 2, "c"), sdkResponse("d", 7, std::nullopt),
                                      sdkResponse("", 1, std::nullopt)});
    auto snapshots = MSRETaskManager::experimentSnapshotsFromExperimentResponse(full);
    ASSERT_TRUE(snapshots);
    ASSERT_EQ(snapshots->size(), 2u);
    EXPECT_EQ((*snapshots)[0].SDKName(), "a");
    auto errors = MSRETaskManager::errorsFromExperimentResponse(full);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors.at("c").code(), -3);
    EXPECT_EQ(errors.at("d").code(), -1);
    EXPECT_EQ(errors.at("c").domain(), MSRETaskManager::errorDomain());

    // Without snapshots they come from the answers, named by the answer when it has a name.
    MSRPBExperimentResponse perLibrary;
    MSRPBSetMessageArray(
        perLibrary, MSRExperimentResponseSlot::kSdkResponses,
        std::vector<MSRPBSdkResponse>{sdkResponse("outer", 0, "inner"), sdkResponse("", 0, "own"),
                                      sdkResponse("x", 3, std::nullopt)});
    snapshots = MSRETaskManager::experimentSnapshotsFromExperimentResponse(perLibrary);
    ASSERT_EQ(snapshots->size(), 2u);
    EXPECT_EQ((*snapshots)[0].SDKName(), "outer");
    EXPECT_EQ((*snapshots)[1].SDKName(), "own");
    EXPECT_EQ(MSRETaskManager::errorsFromExperimentResponse(perLibrary).at("x").code(), -4);

    EXPECT_FALSE(MSRETaskManager::experimentSnapshotsFromData({}));
}

TEST_F(ExperimentRecordsTest, RequestsCarryTheLibrariesThatHaveADiversionKey) {
    auto own = MSRESDKProperty::initWithName("own_key");
    own->setDiversionKey("abcde");
    own->setVersion(3);
    own->setCustomProperties({{"tier", "gold"}});
    auto engineKey = MSRESDKProperty::initWithName("engine_key");
    auto& builder = MSREExperimentRequestBuilder::sharedInstance();
    builder.addSDKProperty(own);
    builder.addSDKProperty(engineKey);
    builder.addSDKProperty(nullptr);

    MSRPBExperimentRequest request = builder.request();
    auto parts =
        MSRPBGetMessageArray<MSRPBClientProperty>(request, MSRExperimentRequestSlot::kClientProperties);
    ASSERT_EQ(parts.size(), 2u);  // the engine's identity has a diversion key
    EXPECT_EQ(MSRPBGetString(parts[0], MSRClientPropertySlot::kSDKName), "engine_key");
    EXPECT_EQ(MSRPBGetString(parts[1], MSRClientPropertySlot::kDiversionID), "abcde-own_key");
    EXPECT_EQ(MSRPBGetInt64(parts[1], MSRClientPropertySlot::kVersion), 3);
    auto custom =
        MSRPBGetMessageArray<MSRPBCustomProperty>(parts[1], MSRClientPropertySlot::kCustomProperties);
    ASSERT_EQ(custom.size(), 1u);
    EXPECT_EQ(MSRPBGetString(custom[0], MSRCustomPropertySlot::kValue), "gold");
    auto app = MSRPBGetMessage<MSRPBAppProperty>(request, MSRExperimentRequestSlot::kAppProperty);
    ASSERT_TRUE(app);
    EXPECT_EQ(MSRPBGetString(*app, MSRAppPropertySlot::kPlatform), "ios");
    EXPECT_EQ(MSRPBGetInt64(*app, MSRAppPropertySlot::kSDKVersion), 10000);
    builder.removeAllSDKProperties();
}

}  // namespace
