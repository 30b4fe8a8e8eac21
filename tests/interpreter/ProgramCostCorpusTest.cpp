// The cost fuzzer's check over its seeds: programs that once did work
// without its charge (long text comparisons, shared arrays expanded for an
// event, names of a mebibyte, number conversions of long texts, long name
// and parameter lists, a pattern of mebibytes compiled on every event, loop
// names of 16 MiB bound to each item, an event renamed with 16 MiB before a
// thousand callbacks, long texts as names and keys, closures of a long name,
// 2,800 names of one value of the standard string hash as parameters, keys
// and event parameters, 40,000 event parameters read back, a program of
// 600,000 literals) now cost what they are charged, at load and on an event.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"
#include "analytics/interpreter/MSRPText.h"
#include "fuzz/ProgramCost.h"
#include "tests/support/TestPaths.h"

namespace {

std::vector<uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Whether a program holds more entities than one may: refused at its load.
bool pastTheEntityBound(const MSRPBProgram& program) {
    size_t entities = 0;
    for (const MSRPBRuntimeEntity& statement : MSRPBGetMessageArray<MSRPBRuntimeEntity>(program, 0))
        entities += MSRPRuntimeEntityConverter::entityCount(MSRPBMessageView(statement), MSRPEventEditing::kMaxProgramEntities);
    return entities > MSRPEventEditing::kMaxProgramEntities;
}

// Each seed with keyed hashes, then with every text hashed alike, as the
// fuzzer runs them: a table whose walks went uncharged shows there.
TEST(ProgramCostCorpus, EverySeedCostsWhatItIsCharged) {
    std::vector<std::filesystem::path> seeds;
    for (const auto& entry :
         std::filesystem::directory_iterator(calvaro::test::sourcePath("fuzz/seeds/program_cost")))
        seeds.push_back(entry.path());
    std::sort(seeds.begin(), seeds.end());
    ASSERT_GE(seeds.size(), 18u);
    for (const bool alike : {false, true}) {
        MSRPText::setHashesAlikeForTesting(alike);
        for (const auto& seed : seeds) {
            SCOPED_TRACE(seed.filename().string() + (alike ? ", hashes alike" : ""));
            const std::vector<uint8_t> bytes = fileBytes(seed);
            std::optional<MSRPBProgram> program = fuzz::costProgram(bytes.data(), bytes.size());
            ASSERT_TRUE(program);
            std::vector<fuzz::CostEscape> stages;
            std::optional<fuzz::CostEscape> escape = fuzz::findCostEscape(*program, 1, &stages);
            EXPECT_FALSE(escape) << escape->describe();
            // The load and the event both ran: a seed that failed to load
            // would test nothing, but for one refused for its entities (and,
            // with hashes alike, one whose load its bounds stopped).
            const bool refused = pastTheEntityBound(*program);
            if (!alike) {
                EXPECT_EQ(stages.size(), refused ? 1u : 2u);
            } else if (stages.size() == 1 && !refused) {
                EXPECT_NE(stages[0].stop, "");
            }
            for (const auto& stage : stages)
                std::printf("%s%s %s\n", seed.filename().c_str(), alike ? " (alike)" : "", stage.describe().c_str());
        }
    }
    MSRPText::setHashesAlikeForTesting(false);
}

TEST(ProgramCostCorpus, AnyBytesBuildAnEditingProgram) {
    // The fuzzer's generator is only as good as the programs it makes: every
    // input, short ones included, must assemble into an editing program that
    // registers its edit callback (a text that does not assemble is skipped
    // without a run). Widening copies literals only, and is left out here.
    std::mt19937 random(62);
    for (int n = 0; n < 300; ++n) {
        std::vector<uint8_t> bytes(random() % 40);
        for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
        if (!bytes.empty() && (bytes[0] == ';' || bytes[0] == '(')) bytes[0] = 0;
        std::string text;
        ASSERT_TRUE(fuzz::costProgram(bytes.data(), bytes.size(), &text, 2, false)) << text;
        EXPECT_NE(text.find("(register $k (lambda \"edit\""), std::string::npos) << text;
    }
}

}  // namespace
