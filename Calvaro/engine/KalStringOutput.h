#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/NaturalConstant.h"

// One row of a solution: {"title": ..., "latexString": ...}. A step of several
// lines is one titled dictionary followed by ones with an empty title.
using StepDictionary = std::map<std::string, std::string>;

// The solution steps of the running calculation, and the number-to-LaTeX
// formatting that every step writer uses. Main thread only; no lock.
class KalStringOutput {
public:
    KalStringOutput() = default;

    // The instance the calculator, the input manager and the Calculate flow
    // share. The flow clears it before and after every calculation by setting
    // the fields below directly.
    static KalStringOutput& shared();

    int64_t solutionStepCounter() const { return solutionStepCounter_; }
    void setSolutionStepCounter(int64_t counter) { solutionStepCounter_ = counter; }
    const std::vector<StepDictionary>& solutionSteps() const { return solutionSteps_; }
    std::vector<StepDictionary>& solutionSteps() { return solutionSteps_; }
    void setSolutionSteps(std::vector<StepDictionary> steps) { solutionSteps_ = std::move(steps); }

    // Raises the counter and returns "<Step> <counter>    <title>". Appends nothing.
    std::string stepTitle(const std::string& title);
    // Appends one step; the line is passed through separateControlWords.
    void appendStep(const std::string& title, const std::string& latexString);

    // The LaTeX of a number written as the base of a power: in brackets unless
    // it is a plain unsigned number or a constant alone, so that 2\pi^{x} is
    // never read as 2·\pi^{x} nor \frac{1}{2}^{x} as 1 over 2^{x}.
    static std::string baseLatex(const std::string& latex);
    // The LaTeX of a number written after a division sign ":": in brackets
    // when it is m \cdot 10^{k}, so that ": 2 \cdot 10^{20}" never reads as
    // dividing by 2 and then multiplying.
    static std::string divisorLatex(const std::string& latex);
    // A text of exactly "1" or "-1" has its "1" replaced by `replacement`;
    // anything else gets `separator` and `replacement` appended.
    static void replaceOneOrAppend(std::string& text, const std::string& replacement, const std::string& separator);

    // Puts a blank between a constant's control word ("\pi", "\infty") and a
    // letter right after it, so that pieces joined by the writers ("\pi" and
    // "y") never form an unknown command such as "\piy".
    static std::string separateControlWords(std::string text);

    // A computed number as LaTeX: "0" for 0 alone (residue is set to 0 where
    // a sum is computed), "\infty"/"-\infty" for an infinity alone, otherwise
    // the en_US decimal text without grouping (below 1e-10 and from 1e17 on
    // m \cdot 10^{k}, m of at most ten significant digits), followed by the constants' LaTeX, in
    // brackets when negative (unless `withoutBrackets`); then the variable and
    // the suffix. Not a number reads "NaN". Step writers pass ("", {}, "", 10,
    // false, v).
    static std::string formatNumberLatex(const std::string& suffix, const NaturalConstants& constants,
                                         const std::string& variable, int maximumFractionDigits,
                                         bool withoutBrackets, double value);

    // A Digit as LaTeX: a plain number or "\frac{..}{..}" with constants and
    // variables. `brackets`: true always wraps in \left( \right), false never,
    // unset only when the text begins with "-". Without `keepSigns` the sign is
    // pulled in front and both parts are shown positive. Only 0 itself reads
    // "0": a part below 1e-10 or from 1e17 on is written m \cdot 10^{k}. A
    // digit without z gives " ? ", as the input step shows an empty field.
    static std::string formatDigitLatex(const Digit& digit, const std::string& suffix,
                                        std::optional<bool> brackets, bool forceFraction, bool keepSigns,
                                        int maximumFractionDigits);

    // A value computed in extended precision as the step writers write a
    // number (formatNumberLatex with "", {}, "", 10, false): rounded once from
    // the long double, so the double's own rounding shows in no digit.
    static std::string formatPreciseNumberLatex(long double value);

    // A number near a whole one kept as their sum where the rest is too
    // small for the digits of the sum to show: "(53 - 1.601713252 \cdot
    // 10^{-16})", so that subtracting the exact part leaves the rest the
    // next line shows. None where the sum's own digits show the rest.
    static std::optional<std::string> splitLatex(const Digit::Split& split);

    // The value of an exact Digit without constants as the steps write a
    // number, from its exact parts: every digit of a whole Digit (3^{34} is
    // 16677181699666569), a quotient rounded once to the digits a line writes
    // (100000000.1 : 7 is 14285714.3, not the 14285714.299999999 of its
    // double); none for a Digit that is not exact. No brackets.
    static std::optional<std::string> exactValueText(const Digit& digit);

    // A typed number with every digit it was typed with: `exactText`, its
    // shortest decimal, unless it lies below 1e-10 or from 1e17 on in
    // magnitude, where that text runs to zeros or to digits the double does
    // not hold; there m \cdot 10^{k}, as the formatters write it.
    static std::string exactNumberLatex(double value, const std::string& exactText);

    // The LaTeX of the digit's variables: " x^{2.0}" on the numerator side,
    // "\frac{x}{y}" with a denominator variable; none without variables.
    static std::optional<std::string> variableLatex(const Digit& digit);

    // "\frac{Z : D}{N : D}" followed by the variable text: dividing both parts
    // of `digit` by `divisor` (with `divisorConstants`).
    static std::string cancelLatex(const Digit& digit, const NaturalConstants& divisorConstants,
                                   int64_t divisor);

    // The line of a fraction that was multiplied out and then divided back by
    // `factor`; none without a factor or below 2.
    static std::optional<std::string> reductionLatex(const Digit& digit, std::optional<int64_t> factor);

    // Variables mode: when the step's "latexString" starts with `prefix`, its
    // line feeds become " = " and `line`, a blank and `unitLatex` are appended.
    // The caller passes the unit LaTeX of the input's symbol. Returns whether
    // the step was changed.
    static bool appendUnitToStep(StepDictionary& step, const std::string& prefix, const std::string& line,
                                 const std::string& unitLatex);

private:
    int64_t solutionStepCounter_ = 0;
    std::vector<StepDictionary> solutionSteps_;
};
