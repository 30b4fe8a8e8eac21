// Runs a served event-editing program (a seed's text, or one the input's
// bytes pick among costly shapes), with every text hashed alike, at load and
// over two events, and aborts
// when a run costs more CPU time or resident memory than it was charged
// (fuzz/ProgramCost.h has the bounds), or, for memory, as soon as a run
// under way holds more than it may. The program and the figures go to
// stderr, so that a finding can be read and replayed as a seed.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPText.h"
#include "fuzz/ProgramCost.h"
#include "fuzz/SilentMonitor.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::installSilentMonitor();
    // Every text hashes alike: each table holds all its entries in one
    // bucket, so that any walk of one that is not charged shows.
    MSRPText::setHashesAlikeForTesting(true);
    return 0;
}

namespace {

// The text of the input under way, for the watch to print.
std::string gText;

void residentEscaped(const std::string& stage, int64_t growth) {
    std::fprintf(stderr,
                 "== a run holds more memory than it was charged\n%s: resident +%.1f MiB while it runs (bound %.1f "
                 "MiB)\n== the program\n%s\n",
                 stage.c_str(), static_cast<double>(growth) / (1 << 20),
                 static_cast<double>(fuzz::kResidentBound) / (1 << 20), gText.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ResidentWatch watch(residentEscaped);
    std::string text;
    std::optional<MSRPBProgram> program = fuzz::costProgram(data, size, &text);
    if (!program) return 0;
    if (std::getenv("CALVARO_COST_PROGRAM")) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return 0;
    }
    static const bool printStages = std::getenv("CALVARO_COST_STAGES") != nullptr;
    gText = std::move(text);
    std::vector<fuzz::CostEscape> stages;
    std::optional<fuzz::CostEscape> escape = fuzz::findCostEscape(*program, 2, &stages, &watch);
    if (printStages)
        for (const auto& stage : stages) std::fprintf(stderr, "%s\n", stage.describe().c_str());
    if (escape) {
        std::fprintf(stderr, "== a run costs more than it was charged\n%s\n== the program\n%s\n",
                     escape->describe().c_str(), gText.c_str());
        std::abort();
    }
    return 0;
}
