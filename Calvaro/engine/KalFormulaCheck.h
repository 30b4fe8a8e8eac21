#pragma once

// The family's formula checker; it has no state or operations here.
class KalFormulaCheck {
public:
    KalFormulaCheck() = default;
};
