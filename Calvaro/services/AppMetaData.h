#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "Calvaro/services/JsonDecoding.h"

// One application of the maker's family, as the remote list describes it.
struct AppMetaData {
    std::vector<std::string> appIdentifiers;
    std::map<std::string, std::string> appName;  // language code -> title
    std::string appURL;
    std::string appURLPro;
    std::string ratingURL;
    std::string ratingURLPro;
    std::string storeURL;
    std::string storeURLPro;
    std::optional<bool> isMultiApp;
    bool shouldShow = false;
    int64_t calculationsUntilInterstitial = 0;

    bool operator==(const AppMetaData&) const = default;

    static std::optional<AppMetaData> decode(const nlohmann::json& value, const std::string& path,
                                             services::json::DecodingError& error);
    nlohmann::json toJson() const;
};

// The remote value "apps": the family list in menu order.
struct AllAppMetaData {
    std::vector<AppMetaData> apps;

    bool operator==(const AllAppMetaData&) const = default;

    static std::optional<AllAppMetaData> decode(const nlohmann::json& value, services::json::DecodingError& error);
    nlohmann::json toJson() const;
};
