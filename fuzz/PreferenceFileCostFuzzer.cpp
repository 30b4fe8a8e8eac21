// A preferences file of any shape, read as a start reads it (held to the
// bound its owner states before the first read, as the application states
// its own preferences' bound; loaded, set aside when refused, what fits
// salvaged and written back), where a few input bytes may describe a large
// file of up to the readers' 64 MiB: a first byte below 6 picks the shape,
// the next ones its counts. Aborts when a start over the file holds more
// memory or CPU time than a file at its owner's bound may cost, or, for
// memory, as soon as a run under way holds more.
//
// Shapes: 0 the bytes as they are; 1 a binary list of one string referenced
// many times; 2 a text of one repeated piece (character references); 3 lists
// nested many levels behind a DOCTYPE whose quoted identifier opens a
// comment; 4 many values behind it; 5 a CDATA section of '&'.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/StoredFileBounds.h"
#include "fuzz/FuzzScratchFolder.h"
#include "fuzz/ProcessWatch.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/foundation/UserDefaults.h"

namespace fs = std::filesystem;

namespace {

// A start over a file at the application's bound (262,144 values and
// 16 MiB) builds those values and writes their 16 MiB back, besides the
// file it read (at most the readers' 64 MiB, refused at once past the
// bound) and what its salvage copies: under the sanitizers, with the
// quarantine of freed blocks kept small (below), under 128 MiB and 2 s of
// CPU as measured, well under these.
constexpr int64_t kPreferenceFileResidentBound = int64_t{256} << 20;
constexpr double kPreferenceFileSecondsBound = 10;
constexpr size_t kPreferenceFileLargest = size_t{64} << 20;

// The suite's file is held to the bound the application states for its
// largest file, its own preferences.
void preferenceFileStateBound() {
    app::stateStoredFileBounds();
    const auto bound = foundation::storedFileBound(foundation::kStandardDomainBoundName);
    if (!bound) std::abort();
    foundation::setStoredFileBound("app", *bound);
}

std::string gPreferenceFileShape;

void preferenceFileEscaped(const std::string& stage, int64_t growth) {
    std::fprintf(stderr, "== a start holds more memory than a file at the bounds may cost\n%s: +%.1f MiB\n%s\n",
                 stage.c_str(), static_cast<double>(growth) / (1 << 20), gPreferenceFileShape.c_str());
    std::abort();
}

uint64_t preferenceFileCount(const uint8_t* data, size_t size, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | (at + i < size ? data[at + i] : 0);
    return value;
}

std::string preferenceFileRepeat(const std::string& piece, uint64_t times) {
    std::string out;
    if (piece.empty()) return out;
    times = std::min<uint64_t>(times, kPreferenceFileLargest / piece.size());
    out.reserve(piece.size() * times);
    for (uint64_t i = 0; i < times; ++i) out += piece;
    return out;
}

// A binary file: {consent: true, flags: [the string `copies` times]}.
std::string preferenceFileShared(uint64_t length, uint64_t copies) {
    auto big = [](std::string& out, uint64_t value, int width) {
        for (int b = width - 1; b >= 0; --b) out += static_cast<char>((value >> (8 * b)) & 0xFF);
    };
    std::string file = "bplist00";
    uint64_t offsets[6];
    offsets[0] = file.size();
    file += "\xD2";
    big(file, 1, 2), big(file, 2, 2), big(file, 3, 2), big(file, 4, 2);
    offsets[1] = file.size();
    file += "\x57" "consent";
    offsets[2] = file.size();
    file += "\x55" "flags";
    offsets[3] = file.size();
    file += "\x09";
    offsets[4] = file.size();
    file += "\xAF\x13";
    big(file, copies, 8);
    for (uint64_t i = 0; i < copies; ++i) big(file, 5, 2);
    offsets[5] = file.size();
    file += "\x5F\x13";
    big(file, length, 8);
    file += std::string(length, 'x');
    const uint64_t table = file.size();
    for (uint64_t offset : offsets) big(file, offset, 8);
    file += std::string(6, '\0');
    file += '\x08';
    file += '\x02';
    big(file, 6, 8), big(file, 0, 8), big(file, table, 8);
    return file;
}

std::string preferenceFileOf(const uint8_t* data, size_t size) {
    const std::string head = "<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"<!--\" \"x\"><plist><dict>"
                             "<key>consent</key><true/><key>flags</key>";
    const std::string tail = "</dict></plist>";
    const std::string rest(reinterpret_cast<const char*>(data) + std::min<size_t>(size, 4),
                           size > 4 ? size - 4 : 0);
    switch (size && data[0] < 6 ? data[0] : 0) {
        case 1:
            return preferenceFileShared(std::min<uint64_t>(preferenceFileCount(data, size, 1, 2) << 8,
                                                           kPreferenceFileLargest / 16),
                                        preferenceFileCount(data, size, 3, 2));
        case 2:
            return head + "<string>" + preferenceFileRepeat(rest, preferenceFileCount(data, size, 1, 3) << 2) +
                   "</string>" + tail;
        case 3: {
            const uint64_t levels = preferenceFileCount(data, size, 1, 3) << 2;
            return head + preferenceFileRepeat("<array>", levels) + preferenceFileRepeat("</array>", levels) + tail;
        }
        case 4:
            return head + "<array>" + preferenceFileRepeat(rest.empty() ? "<true/>" : rest,
                                                           preferenceFileCount(data, size, 1, 3) << 3) +
                   "</array>" + tail;
        case 5:
            return head + "<string><![CDATA[" + std::string(std::min<uint64_t>(preferenceFileCount(data, size, 1, 3) << 4, kPreferenceFileLargest), '&') +
                   "]]></string>" + tail;
        default:
            return std::string(reinterpret_cast<const char*>(data), size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ResidentWatch watch(preferenceFileEscaped);
    static const bool stated = (preferenceFileStateBound(), true);
    (void)stated;
    const fs::path& root = fuzz::scratchFolder();
    std::error_code ec;
    fs::remove_all(root / "Preferences", ec);
    {
        const std::string file = preferenceFileOf(data, size);
        gPreferenceFileShape = "shape " + std::to_string(size && data[0] < 6 ? data[0] : 0) + ", " +
                               std::to_string(file.size()) + " bytes";
        if (!foundation::FileSystem::writeAtomically(root / "Preferences" / "app.plist", file)) std::abort();
    }
    const int64_t resident = fuzz::restartResidentPeak();
    const double started = fuzz::threadSeconds();
    watch.begin("start", resident, kPreferenceFileResidentBound);
    {
        foundation::UserDefaults defaults(std::make_shared<foundation::PreferencesStore>(root / "Preferences"), "app");
        (void)defaults.boolValue("consent");
        (void)defaults.set("change", true);
    }
    watch.end();
    const double seconds = fuzz::threadSeconds() - started;
    const int64_t peak = fuzz::statusBytes("VmHWM") - resident;
    if (seconds > kPreferenceFileSecondsBound || peak > kPreferenceFileResidentBound) {
        std::fprintf(stderr, "== a start costs more than a file at the bounds may: %.1f s, +%.1f MiB\n%s\n", seconds,
                     static_cast<double>(peak) / (1 << 20), gPreferenceFileShape.c_str());
        std::abort();
    }
    return 0;
}

#if defined(CALVARO_FUZZ_ASAN)
// Freed blocks wait in a quarantine of 16 MiB rather than 256 MiB, so that
// what a start holds shows rather than what it freed.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif
