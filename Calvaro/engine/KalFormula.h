#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One formula of the family's catalogue.
struct Formula {
    std::string category;
    std::string subcategory;
    std::string topic;
    std::string type;
    std::string imageName;           // an illustrating image
    std::string searched;            // the quantity the formula yields
    std::vector<std::string> given;  // the quantities it needs
    std::string latex;
    std::string identifier;
    std::optional<std::vector<std::string>> conditions;  // the only optional member
    std::string description;

    bool operator==(const Formula&) const = default;

    // A JSON object with every member but "conditions" required.
    static std::optional<Formula> decode(std::string_view json, std::string* error = nullptr);
    // The members in field order; "conditions" only when present.
    std::string encode() const;
};

// The catalogue of formulas; this application never fills it.
class KalFormula {
public:
    KalFormula() = default;
    std::vector<Formula> formulas;
};
