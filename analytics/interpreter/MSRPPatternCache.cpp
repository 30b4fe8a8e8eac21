#include "analytics/interpreter/MSRPPatternCache.h"

#include <re2/re2.h>

#include <algorithm>

#include "analytics/interpreter/MSRPExecution.h"

struct MSRPPatternCache::Entry {
    // The program's text, shared.
    MSRPText pattern;
    // Null for a pattern that does not compile: it is refused again at the
    // price of finding it here.
    std::unique_ptr<re2::RE2> expression;
};

MSRPPatternCache::MSRPPatternCache() = default;
MSRPPatternCache::~MSRPPatternCache() = default;

const re2::RE2* MSRPPatternCache::compiled(const MSRPText& pattern, MSRPExecution& execution) {
    for (const auto& entry : entries_) {
        if (!(entry->pattern == pattern)) continue;
        if (!entry->expression) execution.fail(MSRPErrorCode::kArgumentKind);
        return entry->expression.get();
    }
    if (execution.failed()) return nullptr;
    // Parsing runs inside RE2, where nothing can be charged: it is paid for
    // first, at its rate for the costliest texts (nested groups), and what
    // the compiler then builds is bounded by the pattern memory and charged
    // once it is known.
    if (!execution.charge(static_cast<int64_t>(pattern.size()) * kParseBytesPerByte)) return nullptr;
    re2::RE2::Options options;
    options.set_log_errors(false);
    options.set_max_mem(kPatternMemory);
    auto expression = std::make_unique<re2::RE2>(re2::StringPiece(pattern.data(), pattern.size()), options);
    if (!expression->ok()) {
        // Remembered with its error, so that a program that tries it on
        // every event pays for parsing it once.
        expression.reset();
        execution.fail(MSRPErrorCode::kArgumentKind);
    } else if (!execution.charge(int64_t{expression->ProgramSize()} * kBytesPerProgramInstruction)) {
        return nullptr;
    }
    if (entries_.size() >= kMaxPatterns) entries_.pop_front();
    entries_.push_back(std::make_unique<Entry>(Entry{pattern, std::move(expression)}));
    return entries_.back()->expression.get();
}

bool MSRPPatternCache::chargeScan(const re2::RE2& expression, size_t bytes, MSRPExecution& execution) {
    // Both factors are bounded (the text by the memory ceiling, the program
    // by kPatternMemory), so their product stays far inside 64 bits.
    const int64_t steps = static_cast<int64_t>(bytes) * std::max(expression.ProgramSize(), 1);
    return execution.charge(steps / kScanStepsPerInstruction * MSRPWork::kBytesPerInstruction);
}
