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
    if (!services::json::expectObject(value, "", error)) return std::nullopt;
    Offers offers;
    for (const auto& [key, list] : value.items()) {
        if (!list.is_array()) {
            error.fail(key, "expected an array");
            return std::nullopt;
        }
        auto& target = offers[key];
        for (size_t i = 0; i < list.size(); ++i) {
            auto offer = OfferData::decode(list[i], key + "[" + std::to_string(i) + "]", error);
            if (!offer) return std::nullopt;
            target.push_back(std::move(*offer));
        }
    }
    return offers;
}
