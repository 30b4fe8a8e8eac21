#include "Calvaro/services/OfferData.h"

#include <nlohmann/json.hpp>

using services::json::DecodingError;

std::optional<OfferData> OfferData::decode(const nlohmann::json& value, const std::string& path,
                                           DecodingError& error) {
    namespace j = services::json;
    if (!j::expectObject(value, path, error)) return std::nullopt;
    auto buttonTexts = j::requiredStringMap(value, "buttonTexts", path, error);
    auto offerId = j::requiredString(value, "offerId", path, error);
    if (error.failed()) return std::nullopt;
    return OfferData{std::move(*buttonTexts), std::move(*offerId)};
}

nlohmann::json OfferData::toJson() const { return {{"buttonTexts", buttonTexts}, {"offerId", offerId}}; }

std::optional<Offers> decodeOffers(const nlohmann::json& value, DecodingError& error) {
    return services::json::listsByKey<OfferData>(value, error, OfferData::decode);
}
