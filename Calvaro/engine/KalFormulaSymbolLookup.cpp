#include "Calvaro/engine/KalFormulaSymbolLookup.h"

#include "Calvaro/engine/KalFormulaSymbol.h"
#include "Calvaro/engine/KalFormulaUnit.h"

KalFormulaSymbolLookup::KalFormulaSymbolLookup() : symbols_(&KalFormulaSymbol::shared()), units_(nullptr) {}

KalFormulaSymbolLookup::KalFormulaSymbolLookup(const KalFormulaSymbol& symbols, const KalFormulaUnit& units)
    : symbols_(&symbols), units_(&units) {}

std::optional<InputSymbol> KalFormulaSymbolLookup::findSymbol(const std::string& subcategory,
                                                              const std::string& topic,
                                                              const std::string& key) const {
    auto symbol = symbols_->findSymbol(subcategory, topic, key);
    if (!symbol) return std::nullopt;
    const KalFormulaUnit& units = units_ ? *units_ : KalFormulaUnit::shared();
    return InputSymbol{symbol->key, symbol->latex, units.replaceDefaultUnit(symbol->unit, false)};
}
