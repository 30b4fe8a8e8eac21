// The bundle's JSON resources: the family's formula, unit list and symbol
// records, each decoded from the same text; what decodes must encode to text
// that decodes to the same record.

#include <cstdlib>

#include "Calvaro/engine/KalFormula.h"
#include "Calvaro/engine/KalFormulaSymbol.h"
#include "Calvaro/engine/KalFormulaUnit.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view json = fuzz::text(data, size);
    if (auto formula = Formula::decode(json)) {
        auto again = Formula::decode(formula->encode());
        if (!again || again->encode() != formula->encode()) std::abort();
    }
    (void)Symbol::decode(json);
    (void)Unit::decodeList(json);
    return 0;
}
