#include "Calvaro/engine/KalFormulaUnit.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "Calvaro/engine/JsonFields.h"
#include "platform/foundation/Bundle.h"

namespace {

constexpr auto unitFields = [](auto& u, auto& fields) {
    return fields.text("key", u.key) && fields.text("latex", u.latex) && fields.text("name", u.name) &&
           fields.number("factor", u.factor);
};

}  // namespace

std::optional<std::vector<Unit>> Unit::decodeList(std::string_view json, std::string* error) {
    auto parsed = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (parsed.is_discarded()) return jsonfields::fail(error, "the data is not valid JSON");
    if (!parsed.is_array()) return jsonfields::fail(error, "expected an array of units");
    std::vector<Unit> units;
    for (size_t i = 0; i < parsed.size(); ++i) {
        jsonfields::Reader reader(parsed[i], "unit " + std::to_string(i));
        Unit unit;
        if (!unitFields(unit, reader)) return jsonfields::fail(error, reader.error());
        units.push_back(std::move(unit));
    }
    return units;
}

std::string Unit::encode() const {
    return jsonfields::encode(*this, unitFields);
}

KalFormulaUnit& KalFormulaUnit::shared() {
    static KalFormulaUnit instance(foundation::Bundle::main());
    return instance;
}

KalFormulaUnit::KalFormulaUnit(const foundation::Bundle& bundle) : bundle_(bundle) {
    LoadUnitsError error;
    if (!loadUnits("unitsOfLength", &error)) std::fprintf(stderr, "%s\n", error.description.c_str());
}

bool KalFormulaUnit::loadUnits(const std::string& fileName, LoadUnitsError* error) {
    auto configurationFailed = [&] {
        if (error)
            *error = {FormulaError::configurationFailed,
                      "configurationFailed: cannot read " + fileName + ".json"};
        return false;
    };
    if (!bundle_.pathForResource(fileName, "json")) return configurationFailed();
    auto contents = bundle_.contentsOfResource(fileName, "json");
    if (!contents) return configurationFailed();
    std::string decodingError;
    auto units = Unit::decodeList(*contents, &decodingError);
    if (!units) {
        if (error) *error = {std::nullopt, fileName + ".json: " + decodingError};
        return false;
    }
    units_ = std::move(*units);
    return true;
}

std::string KalFormulaUnit::replaceDefaultUnit(const std::string& text, bool useKey) const {
    if (!targetUnit_ || targetUnit_->key == defaultUnitKey_) return text;

    // The key as a whole word, matched with the platform's regular-expression
    // rules for word boundaries; only the search is a regular expression.
    icu::UnicodeString pattern("\\b");
    for (char c : defaultUnitKey_) {
        if (!std::isalnum(static_cast<unsigned char>(c))) pattern.append(u'\\');
        pattern.append(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    pattern.append(u"\\b");

    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);
    icu::RegexMatcher matcher(pattern, input, 0, status);
    if (U_FAILURE(status)) return text;

    const icu::UnicodeString replacement =
        icu::UnicodeString::fromUTF8(useKey ? targetUnit_->key : targetUnit_->latex);
    icu::UnicodeString output;
    int32_t copied = 0;
    bool matched = false;
    while (matcher.find(status) && U_SUCCESS(status)) {
        int32_t start = matcher.start(status);
        int32_t end = matcher.end(status);
        if (U_FAILURE(status)) return text;
        output.append(input, copied, start - copied);
        output.append(replacement);
        copied = end;
        matched = true;
    }
    if (!matched || U_FAILURE(status)) return text;
    output.append(input, copied, input.length() - copied);
    std::string result;
    output.toUTF8String(result);
    return result;
}
