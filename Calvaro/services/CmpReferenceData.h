#pragma once

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "Calvaro/services/JsonDecoding.h"

// Consent reference data of the remote value "cmpReferenceData".
struct CmpReferenceData {
    std::optional<bool> isConsentOrPayActivated;
    std::string purposeConsents;
    std::string purposeLegitimateInterests;
    std::string vendorConsents;
    std::string vendorLegitimateInterests;

    bool operator==(const CmpReferenceData&) const = default;

    static std::optional<CmpReferenceData> decode(const nlohmann::json& value, services::json::DecodingError& error);
    nlohmann::json toJson() const;
};
