#pragma once

// Runs the calculator on one exercise and describes everything it produced as
// JSON, for the golden files and the outside checks (sympy, KaTeX).

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalPowerAndLogarithmicFunction.h"
#include "Calvaro/engine/KalStringOutput.h"

struct CalculatorCase {
    int64_t mode = 0;
    // a, b, c, d, x, z as typed; absent means the field was left alone.
    std::optional<std::string> texts[6];
};

inline CalculatorCase calculatorCaseFromJson(const nlohmann::json& json) {
    static const char* names[6] = {"a", "b", "c", "d", "x", "z"};
    CalculatorCase result;
    result.mode = json.value("mode", int64_t{0});
    for (int i = 0; i < 6; ++i) {
        if (json.contains(names[i]) && json[names[i]].is_string()) result.texts[i] = json[names[i]].get<std::string>();
    }
    return result;
}

// Runs one calculation the way the Calculate flow does: a cleared step output
// before, a fresh calculator, and fraction mode reset after.
inline nlohmann::json runCalculatorCase(const CalculatorCase& exercise) {
    static const char* names[6] = {"a", "b", "c", "d", "x", "z"};
    KalStringOutput output;
    KalMathOperation operation(output);
    KalPowerAndLogarithmicFunction calculator(operation, output);
    const auto& t = exercise.texts;
    const CalculatorResult result =
        calculator.calculate(t[0], "aTextField", t[1], "bTextField", t[2], "cTextField", t[3], "dTextField", t[4],
                             "xTextField", t[5], "zTextField", exercise.mode);

    nlohmann::json json;
    json["mode"] = exercise.mode;
    for (int i = 0; i < 6; ++i) {
        if (t[i]) json[names[i]] = *t[i];
    }
    if (result.errorKey) json["errorKey"] = *result.errorKey;
    if (result.faultyFieldIds) json["faultyFieldIds"] = *result.faultyFieldIds;
    if (result.formulaLatex) json["formulaLatex"] = *result.formulaLatex;
    if (result.solutionSteps) {
        nlohmann::json steps = nlohmann::json::array();
        for (const auto& step : *result.solutionSteps) {
            steps.push_back({{"title", step.at("title")}, {"latexString", step.at("latexString")}});
        }
        json["solutionSteps"] = std::move(steps);
    }
    nlohmann::json charts = nlohmann::json::array();
    for (const auto& row : result.chartSteps) {
        nlohmann::json series = nlohmann::json::array();
        for (const auto& data : row) {
            series.push_back({{"chartTitle", data->chartTitle},
                              {"dataName", data->dataName},
                              {"chartColorHexCode", data->chartColorHexCode},
                              {"frameRatio", data->frameRatio},
                              {"lengthOfGraph", data->lengthOfGraph ? nlohmann::json(*data->lengthOfGraph)
                                                                    : nlohmann::json()},
                              {"dataSet", data->dataSet}});
        }
        charts.push_back(std::move(series));
    }
    json["chartSteps"] = std::move(charts);
    return json;
}
