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
    if (!services::json::expectObject(value, "", error)) return std::nullopt;
    KalAds ads;
    for (const auto& [key, list] : value.items()) {
        if (!list.is_array()) {
            error.fail(key, "expected an array");
            return std::nullopt;
        }
        auto& target = ads[key];
        for (size_t i = 0; i < list.size(); ++i) {
            auto ad = KalAdData::decode(list[i], key + "[" + std::to_string(i) + "]", error);
            if (!ad) return std::nullopt;
            target.push_back(std::move(*ad));
        }
    }
    return ads;
}
