#include "Calvaro/services/AppMetaData.h"

#include <nlohmann/json.hpp>

using services::json::DecodingError;

std::optional<AppMetaData> AppMetaData::decode(const nlohmann::json& value, const std::string& path,
                                               DecodingError& error) {
    namespace j = services::json;
    if (!j::expectObject(value, path, error)) return std::nullopt;
    AppMetaData app;
    auto identifiers = j::requiredStringList(value, "appIdentifiers", path, error);
    auto name = j::requiredStringMap(value, "appName", path, error);
    auto appURL = j::requiredString(value, "appURL", path, error);
    auto appURLPro = j::requiredString(value, "appURLPro", path, error);
    auto ratingURL = j::requiredString(value, "ratingURL", path, error);
    auto ratingURLPro = j::requiredString(value, "ratingURLPro", path, error);
    auto storeURL = j::requiredString(value, "storeURL", path, error);
    auto storeURLPro = j::requiredString(value, "storeURLPro", path, error);
    app.isMultiApp = j::optionalBool(value, "isMultiApp", path, error);
    auto shouldShow = j::requiredBool(value, "shouldShow", path, error);
    auto interstitial = j::requiredInteger(value, "calculationsUntilInterstitial", path, error);
    if (error.failed()) return std::nullopt;
    app.appIdentifiers = std::move(*identifiers);
    app.appName = std::move(*name);
    app.appURL = std::move(*appURL);
    app.appURLPro = std::move(*appURLPro);
    app.ratingURL = std::move(*ratingURL);
    app.ratingURLPro = std::move(*ratingURLPro);
    app.storeURL = std::move(*storeURL);
    app.storeURLPro = std::move(*storeURLPro);
    app.shouldShow = *shouldShow;
    app.calculationsUntilInterstitial = *interstitial;
    return app;
}

nlohmann::json AppMetaData::toJson() const {
    nlohmann::json object = {
        {"appIdentifiers", appIdentifiers}, {"appName", appName},       {"appURL", appURL},
        {"appURLPro", appURLPro},           {"ratingURL", ratingURL},   {"ratingURLPro", ratingURLPro},
        {"storeURL", storeURL},             {"storeURLPro", storeURLPro}, {"shouldShow", shouldShow},
        {"calculationsUntilInterstitial", calculationsUntilInterstitial},
    };
    if (isMultiApp) object["isMultiApp"] = *isMultiApp;
    return object;
}

std::optional<AllAppMetaData> AllAppMetaData::decode(const nlohmann::json& value, DecodingError& error) {
    if (!services::json::expectObject(value, "", error)) return std::nullopt;
    auto it = value.find("apps");
    if (it == value.end() || it->is_null()) {
        error.fail("apps", "required array is missing");
        return std::nullopt;
    }
    if (!it->is_array()) {
        error.fail("apps", "expected an array");
        return std::nullopt;
    }
    AllAppMetaData all;
    for (size_t i = 0; i < it->size(); ++i) {
        auto app = AppMetaData::decode((*it)[i], "apps[" + std::to_string(i) + "]", error);
        if (!app) return std::nullopt;
        all.apps.push_back(std::move(*app));
    }
    return all;
}

nlohmann::json AllAppMetaData::toJson() const {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& app : apps) list.push_back(app.toJson());
    return {{"apps", list}};
}
