#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {
class Bundle;
}

// A unit of length of the family's unit table.
struct Unit {
    std::string key;    // short identifier, matched as a whole word in texts ("m")
    std::string latex;  // the unit in LaTeX
    std::string name;   // display name; the only field meant to change
    double factor = 0;  // conversion factor

    bool operator==(const Unit&) const = default;

    // A JSON array of {"key", "latex", "name", "factor"} objects, every member
    // required and of its type. Any bad element fails the whole array;
    // `error` then says which element and member.
    static std::optional<std::vector<Unit>> decodeList(std::string_view json, std::string* error = nullptr);
    // The object with its members in field order.
    std::string encode() const;
};

enum class FormulaError { configurationFailed };

// Why loadUnits failed: the resource is missing or unreadable
// (configurationFailed), or its text did not decode (no formulaError; the
// description is the decoding error).
struct LoadUnitsError {
    std::optional<FormulaError> formulaError;
    std::string description;
};

// The unit table read from the bundle's "unitsOfLength.json", and the
// rewriting of the default unit "m" into a chosen target unit. Main thread.
class KalFormulaUnit {
public:
    // Created on first use over the main bundle.
    static KalFormulaUnit& shared();

    // Loads "unitsOfLength" from `bundle`; a failure is written to the
    // console and leaves the table empty. Construction never fails.
    explicit KalFormulaUnit(const foundation::Bundle& bundle);

    const std::string& defaultUnitKey() const { return defaultUnitKey_; }
    const std::vector<Unit>& units() const { return units_; }
    const std::optional<Unit>& targetUnit() const { return targetUnit_; }
    void setTargetUnit(std::optional<Unit> unit) { targetUnit_ = std::move(unit); }

    // Replaces `units` with the decoded resource "<fileName>.json". On failure
    // `units` keeps its previous value.
    bool loadUnits(const std::string& fileName, LoadUnitsError* error = nullptr);

    // `text` with every whole-word occurrence of the default unit key
    // replaced by the target unit's key (`useKey`) or LaTeX. Unchanged
    // without a target unit or when the target is the default unit. The
    // replacement is inserted literally: LaTeX such as "\mu m" or "$" is kept
    // exactly as it stands.
    std::string replaceDefaultUnit(const std::string& text, bool useKey) const;

private:
    const foundation::Bundle& bundle_;
    const std::string defaultUnitKey_ = "m";
    std::vector<Unit> units_;
    std::optional<Unit> targetUnit_;
};
