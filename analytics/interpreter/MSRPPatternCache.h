#pragma once
// The regular expressions of one runtime's programs, compiled once and kept:
// a program that searches every event with the same pattern compiles it on
// the first event only. Compiling is charged to the running program by the
// pattern's text and by the size of the compiled program; each pattern may
// take at most kPatternMemory, and at most kMaxPatterns are kept (the oldest
// go first), so the cache holds a bounded total whatever a program compiles.
//
// A scan is charged before it starts by what it may cost at worst: RE2 runs
// its DFA while the DFA's share of kPatternMemory lasts, then its NFA, which
// steps through every instruction of the program for every byte of the text
// (a short pattern with counted repetitions leaves the DFA at once).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "analytics/interpreter/MSRPText.h"

namespace re2 {
class RE2;
}
struct MSRPExecution;

class MSRPPatternCache {
  public:
    static constexpr int64_t kPatternMemory = int64_t{256} << 10;
    static constexpr size_t kMaxPatterns = 16;
    // Bytes charged per instruction of a compiled program: compiling one
    // takes about as long as 64 evaluations.
    static constexpr int64_t kBytesPerProgramInstruction = 64 * 64;
    // NFA steps (one program instruction on one byte) that cost about one
    // evaluation (interpreter_bench: BM_PatternScan against BM_Fib27).
    static constexpr int64_t kScanStepsPerInstruction = 2;
    // Bytes charged per byte of a pattern's text, for parsing it: a text of
    // nested empty groups takes about 300 ns a byte, some 16 evaluations.
    static constexpr int64_t kParseBytesPerByte = 16 * 64;

    MSRPPatternCache();
    ~MSRPPatternCache();
    MSRPPatternCache(const MSRPPatternCache&) = delete;
    MSRPPatternCache& operator=(const MSRPPatternCache&) = delete;

    // The compiled `pattern`; null when it does not compile (error 10, also
    // for every later use of the same text) or the budget cannot pay for
    // compiling it (error 18).
    const re2::RE2* compiled(const MSRPText& pattern, MSRPExecution& execution);
    size_t count() const { return entries_.size(); }
    // Charges a scan of `bytes` bytes with `expression` at its worst; false
    // (error 18) when the rest of the budget cannot pay for it.
    static bool chargeScan(const re2::RE2& expression, size_t bytes, MSRPExecution& execution);

  private:
    struct Entry;
    std::deque<std::unique_ptr<Entry>> entries_;  // the oldest first
};
