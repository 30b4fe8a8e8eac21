#pragma once

#include <memory>

#include "Calvaro/engine/KalInputManager.h"

class KalFormulaSymbol;
class KalFormulaUnit;

// The variables mode's symbol look-up answered from the family's symbol list,
// with each symbol's unit rewritten through the unit table. Pass it to a
// KalInputManager; without arguments it uses the shared list and table.
class KalFormulaSymbolLookup : public KalInputSymbolLookup {
public:
    KalFormulaSymbolLookup();
    KalFormulaSymbolLookup(const KalFormulaSymbol& symbols, const KalFormulaUnit& units);

    std::optional<InputSymbol> findSymbol(const std::string& subcategory, const std::string& topic,
                                          const std::string& key) const override;

private:
    const KalFormulaSymbol* symbols_;
    const KalFormulaUnit* units_;  // null: the shared table, created when first needed
};
