#pragma once

// The rules by which one audience filter is checked when a configuration
// arrives and matched against one event or user property. Pure functions of
// the filter messages: every rule that cannot answer logs why and gives no
// outcome (nothing), which evaluation treats as "not evaluated".
//
// Regular expressions come from the server and run on the device's own text,
// so they go through RE2, whose time grows linearly with the text; a pattern
// RE2 does not take (back-references, look-around) makes its filter invalid.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "analytics/messages/MSRPBMessages.h"
#include "analytics/model/MSREventAggregates.h"
#include "analytics/model/MSRUserAttribute.h"
#include "analytics/model/MSRValue.h"
#include "analytics/support/MSRDecimalNumber.h"
#include "analytics/support/MSRError.h"

namespace re2 {
class RE2;
}
class MSRRemoteConfig;

// Compiled expressions by (pattern, case-sensitive), so that a filter matched
// against many events compiles its expression once. Failed compilations are
// kept too (as null), so a bad pattern is reported only once per cache.
//
// The patterns come from the server, so what they may cost is bounded: RE2
// gets a small memory for each (its program and the caches its matching
// builds; a larger program fails to compile, early), and all compilations of
// one cache together draw on a budget of program instructions, failed ones
// charged with what they may have built. One cache serves one configuration:
// its audiences are checked against it when they arrive, and the evaluation
// of every later bundle reuses what it compiled.
class MSRRegexCache {
  public:
    // RE2's memory for one expression; about 15,000 program instructions.
    static constexpr int64_t kPatternMaxMemory = 256 * 1024;
    // Instructions of all the expressions of one cache, about 50 ms of
    // compiling on a phone.
    static constexpr int64_t kDefaultInstructionBudget = 128 * 1024;

    explicit MSRRegexCache(int64_t instructionBudget = kDefaultInstructionBudget);
    ~MSRRegexCache();
    MSRRegexCache(const MSRRegexCache&) = delete;
    MSRRegexCache& operator=(const MSRRegexCache&) = delete;

    // The compiled expression, or null (with `errorText`) when RE2 refuses it
    // or the budget is spent.
    const re2::RE2* regex(const std::string& pattern, bool caseSensitive, std::string* errorText);
    // What the compilations so far have drawn from the budget.
    int64_t instructionsCharged() const { return charged_; }

  private:
    struct Entry {
        std::shared_ptr<const re2::RE2> compiled;
        std::string error;
    };
    std::map<std::pair<std::string, bool>, Entry> compiled_;
    int64_t budget_;
    int64_t charged_ = 0;
};

// The parsed operands of one decimal comparison.
struct MSRAudienceComparisonValues {
    bool valid = true;
    std::optional<MSRDecimalNumber> comparisonValue;
    std::optional<MSRDecimalNumber> minComparisonValue;
    std::optional<MSRDecimalNumber> maxComparisonValue;
};

// Whether the audience definition may be stored: IDs, filter counts and
// every filter's operands (errors with codes 9, 10 and 11). `acceptedIDs` are
// the audiences of the same configuration accepted before it.
// `regexes`, when given, compiles the regular expressions (and keeps them for
// the evaluation); without it each is compiled and dropped.
bool MSRValidateAudience(const MSRPBAudience& audience, const std::set<int32_t>& acceptedIDs,
                         MSRRemoteConfig& remoteConfig, MSRError* error, MSRRegexCache* regexes = nullptr);

// A filter message made ready for many matches: its operands parsed, its
// texts folded and its expressions compiled once (in `regexes`, which must
// outlive it). Matching it is matching the message, with the reasons for a
// filter that cannot be used logged once here rather than at every match.
class MSRCompiledEventFilter {
  public:
    MSRCompiledEventFilter(const MSRPBEventFilter& filter, MSRRegexCache& regexes);
    ~MSRCompiledEventFilter();
    MSRCompiledEventFilter(MSRCompiledEventFilter&&) noexcept;
    MSRCompiledEventFilter& operator=(MSRCompiledEventFilter&&) noexcept;

    std::optional<bool> match(const std::string& eventName, const MSRParameters& parameters,
                              const MSREventAggregates& aggregates) const;

    struct Operands;

  private:
    std::unique_ptr<Operands> operands_;
};

class MSRCompiledPropertyFilter {
  public:
    MSRCompiledPropertyFilter(const MSRPBPropertyFilter& filter, MSRRegexCache& regexes);
    ~MSRCompiledPropertyFilter();
    MSRCompiledPropertyFilter(MSRCompiledPropertyFilter&&) noexcept;
    MSRCompiledPropertyFilter& operator=(MSRCompiledPropertyFilter&&) noexcept;

    std::optional<bool> match(const MSRUserAttribute& attribute) const;

    struct Operands;

  private:
    std::unique_ptr<Operands> operands_;
};

// The most that matching a filter once may cost, in work units: one unit is
// one byte of text stepped through by one instruction of an expression's
// program, the cost of RE2 at its slowest (its NFA, once its DFA gives up on
// a pattern). An expression costs its program's size times `textBytes`, the
// longest text a value may hold; each filter as such, and each test other
// than an expression, one pass over that text. The filter's expressions are
// looked up in `regexes`, where its check compiled them; one that is not
// there is compiled and charged to its budget. An in-list filter costs one
// pass over the text and, for each entry, MSRListEntryWork and a comparison
// of up to the entry's length.
int64_t MSREventFilterWork(const MSRPBEventFilter& filter, MSRRegexCache& regexes, int64_t textBytes);
int64_t MSRPropertyFilterWork(const MSRPBPropertyFilter& filter, MSRRegexCache& regexes, int64_t textBytes);

// Stepping to one entry of an in-list filter and telling it apart by its
// length, in work units: about 10 ns, a little more than a configuration
// of 1,350,000 one-letter entries took an entry (8 ns, its entries spread
// over 50 MB of memory).
inline constexpr int64_t kMSRListEntryWork = 32;

// `regexes`, when given, keeps the compiled expressions between calls.
std::optional<bool> MSRMatchEventFilter(const MSRPBEventFilter& filter, const std::string& eventName,
                                        const MSRParameters& parameters, const MSREventAggregates& aggregates,
                                        MSRRegexCache* regexes = nullptr);
std::optional<bool> MSRMatchPropertyFilter(const MSRPBPropertyFilter& filter, const MSRUserAttribute& attribute,
                                           MSRRegexCache* regexes = nullptr);
std::optional<bool> MSRMatchFilter(const MSRPBFilter& filter, const MSRValue& value, MSRRegexCache* regexes = nullptr);

bool MSRIsValidNumberFilter(const MSRPBNumberFilter& filter);
std::optional<bool> MSRCompareDecimal(const MSRPBNumberFilter& filter, const MSRDecimalNumber& value);
std::optional<bool> MSRCompareInt64(const MSRPBNumberFilter& filter, int64_t value);
std::optional<bool> MSRCompareDouble(const MSRPBNumberFilter& filter, double value);

// `regex`, when given, receives the compiled expression of a valid
// regular-expression filter (owned by `regexes` when that is given).
bool MSRIsValidStringFilter(const MSRPBStringFilter& filter, MSRRegexCache* regexes = nullptr,
                            const re2::RE2** regex = nullptr);
std::optional<bool> MSRMatchStringFilter(const MSRPBStringFilter& filter, std::string_view text,
                                         MSRRegexCache* regexes = nullptr);
