// Remote-content JSON and the bundle's JSON resources as foundation values:
// whatever parses must survive every walk of a value (JSON text, property
// list form) and read back equal from its own JSON text.

#include <cstdlib>

#include "fuzz/FuzzInput.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::optional<foundation::Value> value = foundation::Value::parseJson(fuzz::text(data, size));
    if (!value) return 0;
    const std::string text = value->jsonText();
    std::optional<foundation::Value> again = foundation::Value::parseJson(text);
    if (!again || again->jsonText() != text) std::abort();
    (void)value->jsonText(2);
    if (auto xml = foundation::propertyListXml(*value)) {
        if (!foundation::parsePropertyList(*xml)) std::abort();
    }
    return 0;
}
