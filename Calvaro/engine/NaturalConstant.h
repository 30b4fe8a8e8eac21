#pragma once

#include <string>
#include <vector>

// A symbolic constant (π, e) standing as a factor inside a Digit. The input
// parser makes them; the step writers print their LaTeX after the number.
class NaturalConstant {
public:
    NaturalConstant(std::string key, std::string latex, double value);

    // The character the user types ("π", "e").
    const std::string& key() const { return key_; }
    // The LaTeX written after the number ("\pi", "e").
    const std::string& latex() const { return latex_; }
    double value() const { return value_; }

    // Equal only when key, LaTeX and value all agree.
    friend bool operator==(const NaturalConstant& a, const NaturalConstant& b) {
        return a.key_ == b.key_ && a.latex_ == b.latex_ && a.value_ == b.value_;
    }

private:
    std::string key_;
    std::string latex_;
    double value_;
};

// Lists compare element by element in order (std::vector's == does exactly that).
using NaturalConstants = std::vector<NaturalConstant>;
