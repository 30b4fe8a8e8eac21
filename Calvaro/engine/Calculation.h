#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// One solved exercise as the history keeps it. A value: whoever holds one holds
// its own copy.
struct Calculation {
    // input field id ("aTextField" ... "zTextField") -> the text typed into it
    std::map<std::string, std::string> inputParameters;
    // the exercise's LaTeX line, formula with the inputs filled in
    std::string latexString;
    // the solution steps; the Calculate screen stores none
    std::vector<foundation::Value::Dictionary> solutionSteps;
    // "inputCalculationSelection" -> 0 logarithmic / 1 exponential, "appKey" -> "CLV"
    foundation::Value::Dictionary setupParameter;

    Calculation() = default;
    // Builds a record back from its dictionary form. A field whose key is
    // missing, or whose value is not of the field's type, is left empty, so
    // a damaged stored record still loads (with empty fields) rather than
    // disappearing.
    explicit Calculation(const foundation::Value::Dictionary& dictionary);

    // The stored form: {"inputParameters", "latexString", "solutionSteps",
    // "setupParameter"} -> the field's value.
    foundation::Value::Dictionary dictionary() const;

    bool operator==(const Calculation&) const = default;
};
