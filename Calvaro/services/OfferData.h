#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "Calvaro/services/JsonDecoding.h"

// One offer of the remote value "offers".
struct OfferData {
    std::map<std::string, std::string> buttonTexts;  // language code -> text
    std::string offerId;

    bool operator==(const OfferData&) const = default;

    static std::optional<OfferData> decode(const nlohmann::json& value, const std::string& path,
                                           services::json::DecodingError& error);
    nlohmann::json toJson() const;
};

using Offers = std::map<std::string, std::vector<OfferData>>;

std::optional<Offers> decodeOffers(const nlohmann::json& value, services::json::DecodingError& error);
