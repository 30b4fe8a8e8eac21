// Property lists as the preferences, the persisted configuration, the
// keychain and the bundle's plists read them (XML and binary forms): what
// parses must write back as XML that reads back equal.

#include <cstdlib>

#include "fuzz/FuzzInput.h"
#include "platform/foundation/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::optional<foundation::Value> value = foundation::parsePropertyList(fuzz::text(data, size));
    if (!value) return 0;
    (void)value->jsonText();
    std::optional<std::string> xml = foundation::propertyListXml(*value);
    if (!xml) return 0;  // dates outside the XML form's range have none
    std::optional<foundation::Value> again = foundation::parsePropertyList(*xml);
    if (!again || foundation::propertyListXml(*again) != xml) std::abort();
    return 0;
}
