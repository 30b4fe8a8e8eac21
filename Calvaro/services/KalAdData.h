#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "Calvaro/services/JsonDecoding.h"

// One house advertisement of the remote value "ads".
struct KalAdData {
    std::string imageName;
    std::string linkingString;
    std::string discountNumber;

    bool operator==(const KalAdData&) const = default;

    static std::optional<KalAdData> decode(const nlohmann::json& value, const std::string& path,
                                           services::json::DecodingError& error);
    nlohmann::json toJson() const;

    // Opens the advertisement's link on the main queue; a text that is no URL
    // does nothing.
    void openLink() const;
};

using KalAds = std::map<std::string, std::vector<KalAdData>>;

// The whole "ads" value: every array must decode, or nothing does.
std::optional<KalAds> decodeKalAds(const nlohmann::json& value, services::json::DecodingError& error);
