#pragma once

// A calculation of the product family's other calculators. It carries nothing
// in this application; it exists so the family's declarations stay complete.
class KalCalculation {
public:
    KalCalculation() = default;
};
