// The load of a served program is a run like an event's: its entities are
// counted before any is built, a program of more than the engine takes is
// refused whole, and what a program within the bound builds counts on the
// memory account and is charged to the budget, the program itself read
// where it is, never copied.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/support/MSRError.h"
#include "tests/support/Sanitizer.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

// Resident memory grows past what the account holds by the allocator's own
// slack and the bookkeeping of a run; the sanitizers shadow and hold back
// memory, so only a plain build measures it.
constexpr bool kLoadResidentMeasured = !kUnderAddressSanitizer;
constexpr int64_t kLoadBeyondTheAccount = int64_t{32} << 20;

int64_t loadStatusBytes(std::string_view field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(field.size())) << 10;
    return -1;
}

// A rule function of `literals` literals after its name and parameters, as
// the program's one top-level statement: `literals` + 3 entities.
MSRPBProgram functionOfLiterals(size_t literals) {
    std::string error;
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleProgram(R"((function "f" (array) true))", &error);
    EXPECT_TRUE(program) << error;
    ProgramAssembler::repeatLastArgument(*program, 0, literals);
    return *program;
}

constexpr size_t kBound = MSRPEventEditing::kMaxProgramEntities;

TEST(ProgramLoadCost, AProgramIsCountedBeforeItIsBuiltAndBuildsOnTheAccount) {
    const struct {
        const char* what;
        size_t literals;
        bool loads;
    } cases[] = {
        // 3.6 MB on the wire, within the size a configuration may have.
        {"600,000 literals", 600000, false},
        {"one entity past the bound", kBound - 2, false},
        {"the bound", kBound - 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const MSRPBProgram program = functionOfLiterals(c.literals);
        // What arrives is counted on the wire the same.
        MSRPBMeasurementConfig config;
        MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{program});
        const std::vector<uint8_t> bytes = config.protoBuffer().value_or(std::vector<uint8_t>{});
        EXPECT_LE(bytes.size(), size_t{4} << 20);
        const auto counted = MSRPBTallyEncodedNestedMessages(bytes, MSRPBMeasurementConfig::type(),
                                                             {MSRConfigSlot::kPrograms}, MSRPBMessageID::RuntimeEntity);
        ASSERT_TRUE(counted);
        EXPECT_EQ(counted->total, c.literals + 3);
        EXPECT_EQ(counted->mostInOneMessage, c.literals + 3);

        MSRPInterpreterEventEditing editing;
        std::ofstream("/proc/self/clear_refs") << "5";
        const int64_t before = loadStatusBytes("VmRSS:");
        const bool measured = kLoadResidentMeasured && before > 0 && loadStatusBytes("VmHWM:") - before < (4 << 20);
        MSRError error;
        const bool loaded = editing.loadProgram(program, &error);
        const int64_t growth = loadStatusBytes("VmHWM:") - before;
        const MSRPMemory::Account& account = editing.runtime().memoryAccount();
        std::printf("%s: %zu bytes on the wire, resident +%.1f MiB, the account's peak %.1f MiB, %lld instructions\n",
                    c.what, bytes.size(), static_cast<double>(growth) / (1 << 20),
                    static_cast<double>(account.peak) / (1 << 20),
                    static_cast<long long>(editing.runtime().getInstructionCount()));
        EXPECT_EQ(loaded, c.loads) << error.code();
        if (c.loads) {
            // Each entity is a value on the account and an instruction of the load.
            EXPECT_GE(account.peak, static_cast<int64_t>(c.literals * sizeof(MSRPValue)));
            EXPECT_GE(editing.runtime().getInstructionCount(), static_cast<int64_t>(c.literals));
        } else {
            EXPECT_EQ(error.domain(), MSRPEditingErrorDomain);
            EXPECT_EQ(error.code(), MSRPInterpreterEventEditing::kEditingErrorTooManyEntities);
            // Nothing of it was built.
            EXPECT_LT(account.peak, int64_t{64} << 10);
            EXPECT_EQ(editing.runtime().getInstructionCount(), 0);
        }
        if (measured) {
            EXPECT_LE(growth, account.peak + kLoadBeyondTheAccount)
                << (growth >> 20) << " MiB more resident, the account's peak " << (account.peak >> 20) << " MiB";
        }
    }
}

// The bound counts every entity of the program, at any depth, its
// activities' as well as its top level's, and the count stops once past it.
TEST(ProgramLoadCost, TheCountTakesInEveryEntity) {
    const std::string rule = R"((function "rules" (array "r") (let "x") (assign "x" (array 1 (array 2 (array 3))))))";
    std::string error;
    const std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(rule, "rules", &error);
    ASSERT_TRUE(program) << error;
    // Top level: function, "rules", array, "r", let, "x", assign, "x", 3
    // arrays, 3 numbers; each activity entity: an object statement.
    size_t inTree = 0;
    for (const MSRPBRuntimeEntity& entity : MSRPBGetMessageArray<MSRPBRuntimeEntity>(*program, 0))
        inTree += MSRPRuntimeEntityConverter::entityCount(MSRPBMessageView(entity), 1000);
    EXPECT_EQ(inTree, 14u);
    MSRPBMeasurementConfig config;
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{*program, *program});
    const auto counted =
        MSRPBTallyEncodedNestedMessages(config.protoBuffer().value(), MSRPBMeasurementConfig::type(),
                                        {MSRConfigSlot::kPrograms}, MSRPBMessageID::RuntimeEntity);
    ASSERT_TRUE(counted);
    EXPECT_GT(counted->mostInOneMessage, inTree);
    EXPECT_EQ(counted->total, 2 * counted->mostInOneMessage);
    // A count past `most` stops at most + 1.
    const MSRPBProgram wide = functionOfLiterals(50);
    const MSRPBRuntimeEntity top = MSRPBGetMessageArray<MSRPBRuntimeEntity>(wide, 0).front();
    EXPECT_EQ(MSRPRuntimeEntityConverter::entityCount(MSRPBMessageView(top), 1000), 53u);
    EXPECT_EQ(MSRPRuntimeEntityConverter::entityCount(MSRPBMessageView(top), 10), 11u);
}

}  // namespace
