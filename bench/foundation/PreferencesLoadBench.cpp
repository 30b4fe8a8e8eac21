// The first read of a preferences file, as a start does it: the time and the
// resident memory it grew by, for a file of small values at the values bound
// (read whole), and two past it that are set aside with what fits kept: a
// compact 56 MB file of eight million trues beside the usual keys, and a
// history of 80,000 records (52 MB, written as the writer lays it out); and
// for usual files: the usual keys and a history of 200 records, in the XML
// form the writer gives (3) and in the binary form (4); and 262,144 keys of
// the consent platform beside them in the binary form, past the file's bound
// (5).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>

#include "bench/support/BenchTemporaryFolder.h"
#include "bench/support/ResidentMemory.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/foundation/UserDefaults.h"

#include <plist/plist.h>

namespace {

const char* const kUsualKeys =
    "<key>isDsgvoAccepted</key><true/><key>isOnboardingFinished</key><true/><key>isRatingAlreadyDone</key><true/>";

std::string trues(uint64_t count) {
    std::string xml;
    xml.reserve(count * 7);
    for (uint64_t i = 0; i < count; ++i) xml += "<true/>";
    return xml;
}

std::string history(int records) {
    std::string record =
        "\t\t<dict>\n\t\t\t<key>inputParameters</key>\n\t\t\t<dict>\n";
    for (const char* field : {"a", "b", "c", "d", "x", "z"})
        record += std::string("\t\t\t\t<key>") + field + "TextField</key>\n\t\t\t\t<string>2</string>\n";
    record += "\t\t\t</dict>\n\t\t\t<key>latexString</key>\n\t\t\t<string>f(x) = 1 \\cdot \\log_{2}(1 x + 0) + 0 "
              "\\quad \\quad x=1</string>\n\t\t\t<key>setupParameter</key>\n\t\t\t<dict>\n\t\t\t\t<key>appKey</key>\n"
              "\t\t\t\t<string>CLV</string>\n\t\t\t\t<key>inputCalculationSelection</key>\n\t\t\t\t<integer>0"
              "</integer>\n\t\t\t</dict>\n\t\t\t<key>solutionSteps</key>\n\t\t\t<array/>\n\t\t</dict>\n";
    std::string xml;
    for (int i = 0; i < records; ++i) xml += record;
    return xml;
}

std::string preferencesFile(int64_t kind) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
    xml += kUsualKeys;
    if (kind == 0) xml += "<key>flags</key><array>" + trues(foundation::kMaximumPropertyListValues - 16) + "</array>";
    if (kind == 1) xml += "<key>flags</key><array>" + trues(8'000'000) + "</array>";
    if (kind == 2) xml += "<key>Calculations</key><array>\n" + history(80'000) + "</array>";
    if (kind >= 3) xml += "<key>Calculations</key><array>\n" + history(200) + "</array>";
    // The consent platform's keys past the file's bound: salvaged.
    if (kind == 5)
        for (int i = 0; i < 262'144; ++i)
            xml += "<key>IABTCF_" + std::to_string(1'000'000 + i) + "</key><true/>";
    xml += "</dict></plist>";
    if (kind < 3) return xml;
    // As the writer lays it out, or in the binary form.
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    char* out = nullptr;
    uint32_t length = 0;
    if (kind == 3) plist_to_xml(root, &out, &length);
    else plist_to_bin(root, &out, &length);
    std::string file(out ? out : "", length);
    free(out);
    plist_free(root);
    return file;
}

void BM_PreferencesFirstRead(benchmark::State& state) {
    const std::string bytes = preferencesFile(state.range(0));
    // Bounded as the application's preferences are: the user's keys first,
    // the consent platform's family its share.
    foundation::resetStoredFileBounds();
    if (state.range(0) == 5)
        foundation::setStoredFileBound(
            "app",
            {{262'144, 16 << 20},
             {"isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone", "Calculations", "IABTCF_*"},
             {"isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone", "Calculations"},
             {{"IABTCF_*", {16'384, 1 << 20}}}});
    bench::BenchTemporaryFolder folder("preferences-load");
    const auto directory = folder.path() / "Preferences";
    int64_t grown = 0;
    size_t keys = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory);
        std::ofstream(directory / "app.plist", std::ios::binary) << bytes;
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        const int64_t before = bench::residentField("VmRSS:");
        state.ResumeTiming();
        {
            foundation::UserDefaults defaults(std::make_shared<foundation::PreferencesStore>(directory), "app");
            keys = defaults.keys().size();
        }
        state.PauseTiming();
        grown = std::max(grown, bench::residentField("VmHWM:") - before);
        state.ResumeTiming();
    }
    state.counters["file_MB"] = static_cast<double>(bytes.size()) / 1e6;
    state.counters["resident_MiB"] = static_cast<double>(grown) / (1 << 20);
    state.counters["keys"] = static_cast<double>(keys);
}

}  // namespace

BENCHMARK(BM_PreferencesFirstRead)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PreferencesFirstRead)->Arg(3)->Arg(4)->Unit(benchmark::kMicrosecond)->Iterations(200);
BENCHMARK(BM_PreferencesFirstRead)->Arg(5)->Unit(benchmark::kMillisecond)->Iterations(5);
