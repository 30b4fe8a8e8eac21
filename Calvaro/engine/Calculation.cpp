#include "Calvaro/engine/Calculation.h"

using foundation::Value;

namespace {

// The field's key holds a map from text to text only when every value is text.
std::map<std::string, std::string> textMap(const Value& value) {
    std::map<std::string, std::string> out;
    const auto* dict = value.dictionary();
    if (!dict) return out;
    for (const auto& [key, item] : *dict) {
        const std::string* text = item.string();
        if (!text) return {};
        out.emplace(key, *text);
    }
    return out;
}

std::vector<Value::Dictionary> dictionaryList(const Value& value) {
    std::vector<Value::Dictionary> out;
    const auto* list = value.list();
    if (!list) return out;
    for (const Value& item : *list) {
        const auto* dict = item.dictionary();
        if (!dict) return {};
        out.push_back(*dict);
    }
    return out;
}

}  // namespace

Calculation::Calculation(const Value::Dictionary& dictionary) {
    Value stored(dictionary);
    inputParameters = textMap(stored["inputParameters"]);
    if (const auto* text = stored["latexString"].string()) latexString = *text;
    solutionSteps = dictionaryList(stored["solutionSteps"]);
    if (const auto* setup = stored["setupParameter"].dictionary()) setupParameter = *setup;
}

Value::Dictionary Calculation::dictionary() const {
    Value::Dictionary inputs;
    for (const auto& [key, text] : inputParameters) inputs.emplace(key, text);
    Value::List steps(solutionSteps.begin(), solutionSteps.end());
    return {
        {"inputParameters", std::move(inputs)},
        {"latexString", latexString},
        {"solutionSteps", std::move(steps)},
        {"setupParameter", setupParameter},
    };
}
