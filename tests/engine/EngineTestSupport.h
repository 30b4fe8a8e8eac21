#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalPowerAndLogarithmicFunction.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "Calvaro/engine/NaturalConstant.h"
#include "Calvaro/engine/TextFormat.h"

// The constants as the input parser makes them.
inline NaturalConstant pi() { return NaturalConstant("π", "\\pi", 3.141592653589793); }
inline NaturalConstant e() { return NaturalConstant("e", "e", 2.718281828459045); }

// A digit z/n with optional constants, written compactly for tables.
inline Digit digit(std::optional<double> z, double n = 1.0, NaturalConstants zConstants = {},
                   NaturalConstants nConstants = {}) {
    Digit d(z, n);
    d.setZConstants(std::move(zConstants));
    d.setNConstants(std::move(nConstants));
    return d;
}

// "z/n", then the constants' keys on each side and the numerator variable:
// "2/1 π/e x^2". Twelve significant digits pin folded constants closely enough.
inline std::string fields(const DigitPtr& d) {
    if (!d) return "none";
    std::string text = stringWithFormat("%.12g/%.12g", d->z().value_or(NAN), d->n());
    if (!d->zConstants().empty() || !d->nConstants().empty()) {
        text += " ";
        for (const auto& c : d->zConstants()) text += c.key();
        text += "/";
        for (const auto& c : d->nConstants()) text += c.key();
    }
    if (!d->zVariable().empty()) text += " " + d->zVariable() + "^" + formatG(d->powerOfZVariable());
    return text;
}

// One calculation on its own output, the texts in the order a, b, c, d, x, z.
struct CalculatorRun {
    KalStringOutput output;
    KalMathOperation operation{output};
    CalculatorResult result;

    CalculatorRun(int64_t mode, const std::vector<std::string>& abcdxz) {
        KalPowerAndLogarithmicFunction calculator(operation, output);
        const auto at = [&](size_t i) { return std::optional<std::string>(abcdxz[i]); };
        result = calculator.calculate(at(0), "aTextField", at(1), "bTextField", at(2), "cTextField", at(3),
                                      "dTextField", at(4), "xTextField", at(5), "zTextField", mode);
    }
    bool writes(const std::string& line) const {
        const auto& steps = output.solutionSteps();
        return std::any_of(steps.begin(), steps.end(), [&](const auto& s) { return s.at("latexString") == line; });
    }
};

// An exercise (texts in the order a, b, c, d, x, z) and a line its solution
// must write.
struct SolvedLine {
    int64_t mode;
    std::vector<std::string> abcdxz;
    std::string line;
};

// Each exercise is solved, not refused, and writes its line.
inline void expectSolvedWithLines(const std::vector<SolvedLine>& rows) {
    for (const auto& row : rows) {
        const CalculatorRun run(row.mode, row.abcdxz);
        EXPECT_FALSE(run.result.errorKey) << *run.result.errorKey << " for " << row.line;
        EXPECT_TRUE(run.writes(row.line)) << row.line;
    }
}
