#include "Calvaro/services/CmpReferenceData.h"

#include <nlohmann/json.hpp>

using services::json::DecodingError;

std::optional<CmpReferenceData> CmpReferenceData::decode(const nlohmann::json& value, DecodingError& error) {
    namespace j = services::json;
    if (!j::expectObject(value, "", error)) return std::nullopt;
    CmpReferenceData data;
    data.isConsentOrPayActivated = j::optionalBool(value, "isConsentOrPayActivated", "", error);
    auto purposeConsents = j::requiredString(value, "purposeConsents", "", error);
    auto purposeLegitimateInterests = j::requiredString(value, "purposeLegitimateInterests", "", error);
    auto vendorConsents = j::requiredString(value, "vendorConsents", "", error);
    auto vendorLegitimateInterests = j::requiredString(value, "vendorLegitimateInterests", "", error);
    if (error.failed()) return std::nullopt;
    data.purposeConsents = std::move(*purposeConsents);
    data.purposeLegitimateInterests = std::move(*purposeLegitimateInterests);
    data.vendorConsents = std::move(*vendorConsents);
    data.vendorLegitimateInterests = std::move(*vendorLegitimateInterests);
    return data;
}

nlohmann::json CmpReferenceData::toJson() const {
    nlohmann::json object = {{"purposeConsents", purposeConsents},
                             {"purposeLegitimateInterests", purposeLegitimateInterests},
                             {"vendorConsents", vendorConsents},
                             {"vendorLegitimateInterests", vendorLegitimateInterests}};
    if (isConsentOrPayActivated) object["isConsentOrPayActivated"] = *isConsentOrPayActivated;
    return object;
}
