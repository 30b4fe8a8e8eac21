#include "Calvaro/services/KalAdData.h"

#include <nlohmann/json.hpp>

#include "Calvaro/services/URLOpening.h"

using services::json::DecodingError;

std::optional<KalAdData> KalAdData::decode(const nlohmann::json& value, const std::string& path,
                                           DecodingError& error) {
    namespace j = services::json;
    if (!j::expectObject(value, path, error)) return std::nullopt;
    auto imageName = j::requiredString(value, "imageName", path, error);
    auto linkingString = j::requiredString(value, "linkingString", path, error);
    auto discountNumber = j::requiredString(value, "discountNumber", path, error);
    if (error.failed()) return std::nullopt;
    return KalAdData{std::move(*imageName), std::move(*linkingString), std::move(*discountNumber)};
}

nlohmann::json KalAdData::toJson() const {
    return {{"imageName", imageName}, {"linkingString", linkingString}, {"discountNumber", discountNumber}};
}

void KalAdData::openLink() const { services::openURLOnMainQueue(linkingString); }

std::optional<KalAds> decodeKalAds(const nlohmann::json& value, DecodingError& error) {
    return services::json::listsByKey<KalAdData>(value, error, KalAdData::decode);
}
