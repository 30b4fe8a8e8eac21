#pragma once
// What a server's answer costs on arrival, against its size.
//
// An answer (the measurement configuration, the experiments answer, remote
// content) may take the size its fetch allows, and no more memory or work
// than a few times that size to be checked, stored and applied: an answer
// that grows into far more than its bytes (millions of empty repeated
// entries, each built as a message or a row) shows as a run past one of the
// bounds below. The arrival fuzzers abort on it, with the answer's shape.
//
// An input is an answer as it is, or, when it starts with 'x', a small
// description of a large one: a base, and one repeated field's occurrences
// up to the size the answer may take. For a wire message the field is one of
// the message's repeated fields at any depth down to four levels (read from
// its field tables: a byte picks it), each occurrence holding `body`, inside
// one occurrence of each message field on the way down:
//
//   'x' count(3 bytes, big-endian) field(1) bodyLength(1) body base
//
// For a text (remote content) the repeats are of `unit`, bare or inside one
// length-delimited field:
//
//   'x' count(3 bytes, big-endian) unitLength(1) wrapKey(1, 0: none) unit base
//
// The answer is `base`, then the repeats. Inputs stay small (a few hundred
// bytes) while the answers they describe fill the fetch's bound, where such
// costs show.
//
// The thread's CPU time is what the time bound reads: a busy machine
// stretches a run's wall time but not the work it does.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analytics/messages/MSRPBMessageType.h"
#include "analytics/messages/NANOVarint.h"
#include "fuzz/ProcessWatch.h"
#include "platform/net/Network.h"

namespace fuzz {

// ---- The bounds ------------------------------------------------------------

// Resident growth while an answer arrives: a base for the engine's own work
// (a database transaction, the logs, the allocator's slack) and a few copies
// of the answer (its bytes as received, inflated, stored, and the parts that
// are built). Under AddressSanitizer every block carries redzones (twice
// the bytes again) and freed blocks wait in its quarantine (256 MiB by
// default), twice over for their headers.
#if defined(CALVARO_FUZZ_ASAN)
inline constexpr int64_t kAnswerResidentBase = (int64_t{64} << 20) + 2 * (int64_t{256} << 20);
inline constexpr int64_t kAnswerResidentPerByte = 24;
#else
inline constexpr int64_t kAnswerResidentBase = int64_t{64} << 20;
inline constexpr int64_t kAnswerResidentPerByte = 8;
#endif
// CPU time of an arrival: far above what reading, storing and applying an
// answer take per byte (tens of nanoseconds; ten times that under the
// sanitizers), far below what a row or a message per entry takes.
#if defined(CALVARO_FUZZ_ASAN)
inline constexpr double kAnswerSecondsBase = 4;
inline constexpr double kAnswerSecondsPerByte = 4e-6;
#else
inline constexpr double kAnswerSecondsBase = 1;
inline constexpr double kAnswerSecondsPerByte = 1e-6;
#endif

inline int64_t answerResidentBound(size_t bytes) {
    return kAnswerResidentBase + kAnswerResidentPerByte * static_cast<int64_t>(bytes);
}
inline double answerSecondsBound(size_t bytes) {
    return kAnswerSecondsBase + kAnswerSecondsPerByte * static_cast<double>(bytes);
}

// ---- The input -------------------------------------------------------------

inline void appendAnswerVarint(std::string& out, uint64_t value) {
    uint8_t bytes[10];
    out.append(reinterpret_cast<const char*>(bytes), NANOPutVarint(bytes, value) - bytes);
}

// A repeated length-delimited field of a message at some depth: the wire
// keys of the message fields on the way down, then the repeated field's.
struct AnswerFieldPath {
    std::vector<uint64_t> keys;
};

inline void collectAnswerFieldPaths(const MSRPBMessageType& type, std::vector<uint64_t>& prefix,
                                    std::vector<AnswerFieldPath>& paths) {
    constexpr uint32_t kDelimited = kMSRPBKindMessage | kMSRPBKindString | kMSRPBKindBytes;
    for (uint32_t index = 0; index < type.fieldCount; ++index) {
        const MSRPBFieldSpec& field = type.fields[index];
        if (!(field.word & kDelimited)) continue;
        prefix.push_back((uint64_t{field.tag} << 3) | 2);
        if (field.word & kMSRPBLabelRepeated) paths.push_back({prefix});
        if ((field.word & kMSRPBKindMessage) && prefix.size() < 4)
            collectAnswerFieldPaths(MSRPBMessageTypeFor(field.element), prefix, paths);
        prefix.pop_back();
    }
}

inline const std::vector<AnswerFieldPath>& answerFieldPaths(const MSRPBMessageType& type) {
    static std::mutex mutex;
    static std::vector<std::pair<const MSRPBMessageType*, std::vector<AnswerFieldPath>>> known;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [of, paths] : known)
        if (of == &type) return paths;
    std::vector<uint64_t> prefix;
    std::vector<AnswerFieldPath> paths;
    collectAnswerFieldPaths(type, prefix, paths);
    known.emplace_back(&type, std::move(paths));
    return known.back().second;
}

// The wire message of `type` an input describes, within `maximumBytes`.
inline std::string expandMessageAnswer(const MSRPBMessageType& type, const uint8_t* data, size_t size,
                                       size_t maximumBytes) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<AnswerFieldPath>& paths = answerFieldPaths(type);
    if (size < 6 || data[0] != 'x' || paths.empty()) return std::string(input.substr(0, maximumBytes));
    size_t count = (size_t{data[1]} << 16) | (size_t{data[2]} << 8) | data[3];
    const AnswerFieldPath& path = paths[data[4] % paths.size()];
    const size_t bodyLength = std::min<size_t>(data[5], size - 6);
    const std::string_view body = input.substr(6, bodyLength);
    std::string answer(input.substr(6 + bodyLength));
    std::string one;
    appendAnswerVarint(one, path.keys.back());
    appendAnswerVarint(one, body.size());
    one.append(body);
    // Each message field on the way down takes a key and a length of at most
    // ten bytes each.
    const size_t around = 20 * path.keys.size();
    if (answer.size() + around > maximumBytes) return answer;
    count = std::min(count, (maximumBytes - answer.size() - around) / one.size());
    // What each message field on the way down holds: the next one's key,
    // length and contents, and innermost the repeats.
    const size_t ancestors = path.keys.size() - 1;
    std::vector<size_t> contents(ancestors);
    size_t inner = count * one.size();
    for (size_t level = ancestors; level-- > 0;) {
        contents[level] = inner;
        inner += NANOVarintSize(path.keys[level]) + NANOVarintSize(inner);
    }
    answer.reserve(answer.size() + inner);
    for (size_t level = 0; level < ancestors; ++level) {
        appendAnswerVarint(answer, path.keys[level]);
        appendAnswerVarint(answer, contents[level]);
    }
    for (size_t i = 0; i < count; ++i) answer.append(one);
    return answer;
}

// The text an input describes, within `maximumBytes`.
inline std::string expandAnswer(const uint8_t* data, size_t size, size_t maximumBytes) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (size < 6 || data[0] != 'x') return std::string(input.substr(0, maximumBytes));
    size_t count = (size_t{data[1]} << 16) | (size_t{data[2]} << 8) | data[3];
    const size_t unitLength = std::min<size_t>(data[4], size - 6);
    const uint8_t wrapKey = data[5];
    const std::string_view unit = input.substr(6, unitLength);
    const std::string_view base = input.substr(6 + unitLength);
    std::string answer(base);
    if (unit.empty() || answer.size() + 16 > maximumBytes) return answer;
    // As many repeats as fit, with room for the wrapping field's key and length.
    count = std::min(count, (maximumBytes - answer.size() - 16) / unit.size());
    if (wrapKey != 0) {
        answer.push_back(static_cast<char>(wrapKey));
        appendAnswerVarint(answer, count * unit.size());
    }
    answer.reserve(answer.size() + count * unit.size());
    for (size_t i = 0; i < count; ++i) answer.append(unit);
    return answer;
}

// ---- The check -------------------------------------------------------------

// Runs arrivals one at a time and aborts, with `shape` (what the answer
// holds, for the finding's reader) and the figures, on the first one past a
// bound. A thread of its own reads the resident memory while an arrival
// runs: one that holds gigabytes is stopped at its bound, before it takes
// what the machine has.
class AnswerWatch {
  public:
    AnswerWatch()
        : resident_([this](const std::string& what, int64_t growth) {
              escaped(what + " (still arriving)", bytes_, growth, 0, 0);
          }) {}

    template <typename Arrive>
    void run(const std::string& what, const std::string& answer, Arrive arrive) {
        const int64_t baseline = restartResidentPeak();
        bytes_ = answer.size();
        resident_.begin(what, baseline, answerResidentBound(answer.size()));
        const double cpuBefore = threadSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        arrive();
        const double cpu = threadSeconds() - cpuBefore;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        resident_.end();
        const int64_t growth = statusBytes("VmHWM") - baseline;
        if (growth > answerResidentBound(answer.size()) || cpu > answerSecondsBound(answer.size()))
            escaped(what, answer.size(), growth, cpu, wall);
    }

  private:
    static void escaped(const std::string& what, size_t bytes, int64_t growth, double cpu, double wall) {
        std::fprintf(
            stderr,
            "== an answer costs more than its size allows\n%s of %zu bytes: resident +%.1f MiB (bound %.1f "
            "MiB), %.3f s of CPU (%.3f s wall; bound %.3f s)\n",
            what.c_str(), bytes, static_cast<double>(growth) / (1 << 20),
            static_cast<double>(answerResidentBound(bytes)) / (1 << 20), cpu, wall,
            answerSecondsBound(bytes));
        std::abort();
    }

    // Written before the watch begins a run, read by its thread only while
    // the run is watched.
    size_t bytes_ = 0;
    ResidentWatch resident_;
};

// What an answer holds, for the finding's reader: its size, and its first
// bytes in hex (a described answer's shape is in its input, printed by
// libFuzzer).
inline std::string answerShape(const char* kind, const std::string& answer) {
    std::string shape = std::string(kind) + ", first bytes";
    char hex[4];
    for (size_t i = 0; i < answer.size() && i < 48; ++i) {
        std::snprintf(hex, sizeof hex, " %02x", static_cast<unsigned char>(answer[i]));
        shape += hex;
    }
    return shape;
}

// One arrival of the wire message of `type` an input describes: the answer,
// within `maximumBytes`, handed to `deliver` with the fetch's success as the
// engine receives it, and its cost watched against its size. `kind` names
// the answer in a finding.
template <typename Deliver>
void arriveAsMessage(const MSRPBMessageType& type, const char* kind, size_t maximumBytes, const uint8_t* data,
                     size_t size, Deliver deliver) {
    static AnswerWatch watch;
    const std::string answer = expandMessageAnswer(type, data, size, maximumBytes);
    const std::vector<uint8_t> body(answer.begin(), answer.end());
    watch.run(answerShape(kind, answer), answer, [&] {
        net::Response response;
        response.statusCode = 200;
        deliver(response, body);
    });
}

}  // namespace fuzz
