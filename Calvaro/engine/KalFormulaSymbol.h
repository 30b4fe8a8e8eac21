#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A symbol that appears in the family's formulas, with the unit that goes with it.
struct Symbol {
    std::string category;
    std::string subcategory;  // look-up key, first part
    std::string topic;        // look-up key, second part
    std::string key;          // look-up key, third part
    std::string latex;
    std::string name;  // the only field meant to change
    std::string unit;
    std::optional<std::map<std::string, double>> rules;  // the only optional member

    bool operator==(const Symbol&) const = default;

    // A JSON object with every member but "rules" required.
    static std::optional<Symbol> decode(std::string_view json, std::string* error = nullptr);
    // The members in field order; "rules" only when present.
    std::string encode() const;
};

// The family's symbol list. Nothing in this application fills it, so every
// look-up finds nothing; the calculators of the family put their symbols in
// `symbols`. Main thread.
class KalFormulaSymbol {
public:
    static KalFormulaSymbol& shared();

    KalFormulaSymbol() = default;

    std::vector<Symbol> symbols;

    // The first symbol whose subcategory, topic and key equal the given texts.
    std::optional<Symbol> findSymbol(const std::string& subcategory, const std::string& topic,
                                     const std::string& key) const;

    // The symbols of the variables-mode format lines ("v = %0", one per
    // input), in line order: the key of a line is its text before the first
    // "=" without blanks; the key is replaced in the line by the symbol's
    // LaTeX (as plain text, everywhere in the line). Stops at the first line
    // without a key or without a matching symbol, leaving it and the later
    // lines as they are, so fewer symbols than lines may come back.
    std::vector<Symbol> resolveFormatLines(std::vector<std::string>& formatLines,
                                           const std::string& subcategory, const std::string& topic) const;
};

// The unit LaTeX written behind an input's value: the symbol's unit with the
// default unit rewritten into the shared unit table's target unit.
std::string unitLatex(const Symbol& symbol);
