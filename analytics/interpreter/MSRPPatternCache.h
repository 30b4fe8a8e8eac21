#pragma once
// The regular expressions of one runtime's programs, compiled once and kept:
// a program that searches every event with the same pattern compiles it on
// the first event only. Compiling is charged to the running program by the
// pattern's text and by the size of the compiled program; each pattern may
// take at most kPatternMemory, and at most kMaxPatterns are kept (the oldest
// go first), so the cache holds a bounded total whatever a program compiles.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

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

    MSRPPatternCache();
    ~MSRPPatternCache();
    MSRPPatternCache(const MSRPPatternCache&) = delete;
    MSRPPatternCache& operator=(const MSRPPatternCache&) = delete;

    // The compiled `pattern`; null when it does not compile (error 10) or
    // the budget cannot pay for compiling it (error 18).
    const re2::RE2* compiled(const std::string& pattern, MSRPExecution& execution);
    size_t count() const { return entries_.size(); }

  private:
    struct Entry;
    std::deque<std::unique_ptr<Entry>> entries_;  // the oldest first
};
