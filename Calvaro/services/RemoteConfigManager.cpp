#include "Calvaro/services/RemoteConfigManager.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedSlot.h"

namespace {

foundation::SharedSlot<RemoteConfigManager>& sharedRemoteConfigSlot() {
    static foundation::SharedSlot<RemoteConfigManager> slot;
    return slot;
}

std::string textOf(const host::DEDRemoteConfigValue& value) { return value.stringValue(); }

void post(const char* name) { foundation::NotificationCenter::defaultCenter().post(name); }

std::optional<RemoteConfigManager::VideoTutorials> decodeVideoTutorials(const nlohmann::json& value,
                                                                         services::json::DecodingError& error) {
    if (!services::json::expectObject(value, "", error)) return std::nullopt;
    RemoteConfigManager::VideoTutorials tutorials;
    for (const auto& [code, languages] : value.items()) {
        if (!services::json::expectObject(languages, code, error)) return std::nullopt;
        auto& entry = tutorials[code];
        for (const auto& [language, urls] : languages.items()) {
            auto list = services::json::stringList(urls, code + "." + language, error);
            if (!list) return std::nullopt;
            entry[language] = std::move(*list);
        }
    }
    return tutorials;
}

// Decodes the JSON text of one remote value with `decode`; a failure prints
// its cause and answers nothing.
template <typename T, typename Decode>
std::optional<T> decodeValue(const std::string& text, Decode decode) {
    services::json::DecodingError error;
    std::optional<T> result;
    if (auto json = services::json::parse(text, error)) result = decode(*json, error);
    if (!result) std::cerr << "The data couldn't be read: " << error.description() << std::endl;
    return result;
}

}  // namespace

RemoteConfigManager& RemoteConfigManager::shared() { return *sharedPointer(); }

std::shared_ptr<RemoteConfigManager> RemoteConfigManager::sharedPointer() {
    return sharedRemoteConfigSlot().getOrMake(
        [] { return std::make_shared<RemoteConfigManager>(host::DEDRemoteConfig::remoteConfig()); });
}

void RemoteConfigManager::resetShared() {
    sharedRemoteConfigSlot().reset();
}

RemoteConfigManager::RemoteConfigManager(std::shared_ptr<host::DEDRemoteConfig> remoteConfig)
    : remoteConfig_(std::move(remoteConfig)) {
    host::DEDRemoteConfigSettings settings;
    settings.minimumFetchInterval = 0;
    remoteConfig_->setConfigSettings(settings);
}

void RemoteConfigManager::loadApps(host::DEDRemoteConfig& remoteConfig) {
    services::json::DecodingError error;
    std::optional<AllAppMetaData> all;
    if (auto json = services::json::parse(textOf(remoteConfig.configValueForKey("apps")), error))
        all = AllAppMetaData::decode(*json, error);
    // An "apps" value that does not decode is expected before the first fetch:
    // the bundle's defaults stand in, quietly. One that holds far more than
    // any menu lists is no such value, and is said.
    if (!all && error.pastBounds()) std::cerr << "The data couldn't be read: " << error.description() << std::endl;
    if (!all) all = appsFromBundleDefaults();
    if (!all) return;
    apps_ = std::move(all->apps);
    post("didLoadMenu");
}

std::optional<AllAppMetaData> RemoteConfigManager::appsFromBundleDefaults() {
    auto path = foundation::Bundle::main().pathForResource("RemoteConfigDefaults", "plist");
    if (!path) return std::nullopt;
    // The bundle does not change while the application runs, and every load
    // of content without a usable menu asks for its defaults again: they are
    // read and decoded once.
    static std::mutex mutex;
    static std::map<std::string, std::optional<AllAppMetaData>> decoded;
    std::lock_guard lock(mutex);
    if (auto known = decoded.find(path->string()); known != decoded.end()) return known->second;
    auto& result = decoded[path->string()];
    std::string bytes;
    if (!foundation::FileSystem::readFile(*path, bytes)) {
        std::cerr << "The file \"RemoteConfigDefaults.plist\" couldn't be opened." << std::endl;
        return result;
    }
    auto plist = foundation::parsePropertyList(bytes);
    if (!plist || !plist->dictionary()) {
        std::cerr << "The data couldn't be read because it isn't in the correct format." << std::endl;
        return result;
    }
    services::json::DecodingError error;
    auto json = services::json::parse(plist->jsonText(2), error);
    if (!json) {
        std::cerr << "Invalid type in JSON write." << std::endl;
        return result;
    }
    result = AllAppMetaData::decode(*json, error);
    return result;
}

void RemoteConfigManager::loadAds(host::DEDRemoteConfig& remoteConfig) {
    auto ads = decodeValue<KalAds>(textOf(remoteConfig.configValueForKey("ads")), decodeKalAds);
    if (!ads) return;
    ads_ = std::move(*ads);
    post("didLoadKalAds");
}

void RemoteConfigManager::loadOffers(host::DEDRemoteConfig& remoteConfig) {
    auto offers = decodeValue<Offers>(textOf(remoteConfig.configValueForKey("offers")), decodeOffers);
    if (!offers) return;
    offers_ = std::move(*offers);
    post("didLoadOffers");
}

void RemoteConfigManager::loadCmpReferenceData(host::DEDRemoteConfig& remoteConfig) {
    auto data = decodeValue<CmpReferenceData>(textOf(remoteConfig.configValueForKey("cmpReferenceData")),
                                              CmpReferenceData::decode);
    if (!data) return;
    cmpReferenceData_ = std::move(*data);
    post("didLoadCmpReferenceData");
}

void RemoteConfigManager::loadVideoTutorials(host::DEDRemoteConfig& remoteConfig) {
    auto tutorials =
        decodeValue<VideoTutorials>(textOf(remoteConfig.configValueForKey("videoTutorials")), decodeVideoTutorials);
    if (!tutorials) return;
    videoTutorials_ = std::move(*tutorials);
    post("didLoadVideoTutorialsData");
}

void RemoteConfigManager::loadAll(host::DEDRemoteConfig& remoteConfig) {
    loadApps(remoteConfig);
    loadAds(remoteConfig);
    loadOffers(remoteConfig);
    loadCmpReferenceData(remoteConfig);
    loadVideoTutorials(remoteConfig);
}

void RemoteConfigManager::fetchRemoteConfig() {
    std::weak_ptr<RemoteConfigManager> weak = weak_from_this();
    remoteConfig_->fetchWithExpirationDuration(
        kFetchExpirationDuration,
        [weak](host::DEDRemoteConfigFetchStatus status, const std::optional<host::DEDRemoteConfigError>& error) {
            if (auto self = weak.lock()) self->handleFetchResult(status, error);
        });
}

void RemoteConfigManager::handleFetchResult(host::DEDRemoteConfigFetchStatus status,
                                            const std::optional<host::DEDRemoteConfigError>& error) {
    if (error) {
        reloadOnMainQueue();
        return;
    }
    if (status != host::DEDRemoteConfigFetchStatusSuccess) {
        std::cerr << "Config not fetched" << std::endl;
        std::cerr << "Error: No error available." << std::endl;
        return;
    }
    std::weak_ptr<RemoteConfigManager> weak = weak_from_this();
    remoteConfig_->activateWithCompletion(
        [weak](bool changed, const std::optional<host::DEDRemoteConfigError>& activationError) {
            if (auto self = weak.lock()) self->handleActivation(changed, activationError);
        });
}

void RemoteConfigManager::handleActivation(bool, const std::optional<host::DEDRemoteConfigError>&) {
    reloadOnMainQueue();
}

// The completions arrive on the remote configuration's queue while the
// screens read the fields on the main thread; replacing the fields there
// would race with those reads, so the loaders run on the main queue.
void RemoteConfigManager::reloadOnMainQueue() {
    std::weak_ptr<RemoteConfigManager> weak = weak_from_this();
    dispatch::MainQueue::shared()->async([weak] {
        if (auto self = weak.lock()) self->loadAll(*self->remoteConfig_);
    });
}

std::vector<AppMetaData> RemoteConfigManager::listedApps(bool multi) const {
    auto bundleIdentifier = foundation::Bundle::main().bundleIdentifier();
    if (!bundleIdentifier || bundleIdentifier->empty()) return {};
    std::vector<AppMetaData> result;
    for (const auto& app : apps_) {
        if (!app.shouldShow || app.isMultiApp.value_or(false) != multi) continue;
        const auto& ids = app.appIdentifiers;
        if (std::find(ids.begin(), ids.end(), *bundleIdentifier) != ids.end()) continue;
        result.push_back(app);
    }
    return result;
}

std::vector<AppMetaData> RemoteConfigManager::singleApps() const { return listedApps(false); }

std::vector<AppMetaData> RemoteConfigManager::multiApps() const { return listedApps(true); }

std::optional<AppMetaData> RemoteConfigManager::currentApp() {
    if (currentApp_) return currentApp_;
    auto bundleIdentifier = foundation::Bundle::main().bundleIdentifier();
    if (!bundleIdentifier || bundleIdentifier->empty()) return std::nullopt;
    for (const auto& app : apps_) {
        const auto& ids = app.appIdentifiers;
        if (std::find(ids.begin(), ids.end(), *bundleIdentifier) != ids.end()) {
            currentApp_ = app;
            return currentApp_;
        }
    }
    return std::nullopt;
}

std::vector<std::string> RemoteConfigManager::videoUrlStrings(std::optional<CalculationType> type) const {
    if (!type || !videoTutorials_) return {};
    auto entry = videoTutorials_->find(appCode(*type));
    if (entry == videoTutorials_->end()) return {};
    const std::string language = supportedLanguage();
    std::vector<std::string> result;
    if (auto it = entry->second.find(language); it != entry->second.end()) result = it->second;
    if (language == "en") return result;
    if (auto it = entry->second.find("en"); it != entry->second.end())
        result.insert(result.end(), it->second.begin(), it->second.end());
    return result;
}
