#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/services/AppMetaData.h"
#include "Calvaro/services/CalculationType.h"
#include "Calvaro/services/CmpReferenceData.h"
#include "Calvaro/services/KalAdData.h"
#include "Calvaro/services/OfferData.h"
#include "platform/host/DEDRemoteConfig.h"

// Everything the application takes from the remote configuration: the family's
// applications, house ads, offers, consent reference data and tutorial videos.
//
// Every field belongs to the main thread: the screens read them there, and the
// fetch and activation completions, which arrive on the remote configuration's
// own queue, hand the reloading over to the main queue.
class RemoteConfigManager : public std::enable_shared_from_this<RemoteConfigManager> {
public:
    using VideoTutorials = std::map<std::string, std::map<std::string, std::vector<std::string>>>;

    static constexpr double kFetchExpirationDuration = 21600;

    // The shared manager over the shared remote configuration, made on first use.
    static RemoteConfigManager& shared();
    static std::shared_ptr<RemoteConfigManager> sharedPointer();
    // Drops the shared manager; the next `shared()` makes one over the then
    // shared remote configuration.
    static void resetShared();

    explicit RemoteConfigManager(std::shared_ptr<host::DEDRemoteConfig> remoteConfig);

    const std::shared_ptr<host::DEDRemoteConfig>& remoteConfig() const { return remoteConfig_; }

    // Each reads its key's active value and, when it decodes, replaces its
    // field and posts its notification; otherwise the field stays as it was.
    void loadApps(host::DEDRemoteConfig& remoteConfig);
    void loadAds(host::DEDRemoteConfig& remoteConfig);
    void loadOffers(host::DEDRemoteConfig& remoteConfig);
    void loadCmpReferenceData(host::DEDRemoteConfig& remoteConfig);
    void loadVideoTutorials(host::DEDRemoteConfig& remoteConfig);
    // The five loaders in their fixed order.
    void loadAll(host::DEDRemoteConfig& remoteConfig);

    // Fetches with the six-hour expiration; the outcome reaches `handleFetchResult`.
    void fetchRemoteConfig();
    // With an error: reload the active values; without success: report and
    // change nothing; on success: activate, then reload. The reloading runs on
    // the main queue whatever thread this is called on.
    void handleFetchResult(host::DEDRemoteConfigFetchStatus status,
                           const std::optional<host::DEDRemoteConfigError>& error);
    void handleActivation(bool changed, const std::optional<host::DEDRemoteConfigError>& error);

    std::vector<AppMetaData> singleApps() const;
    std::vector<AppMetaData> multiApps() const;
    std::optional<AppMetaData> currentApp();
    std::vector<std::string> videoUrlStrings(std::optional<CalculationType> type) const;

    const std::vector<AppMetaData>& apps() const { return apps_; }
    const KalAds& ads() const { return ads_; }
    const Offers& offers() const { return offers_; }
    const std::optional<CmpReferenceData>& cmpReferenceData() const { return cmpReferenceData_; }
    const std::optional<VideoTutorials>& videoTutorials() const { return videoTutorials_; }

private:
    void reloadOnMainQueue();
    std::vector<AppMetaData> listedApps(bool multi) const;
    std::optional<AllAppMetaData> appsFromBundleDefaults();

    std::optional<AppMetaData> currentApp_;
    std::shared_ptr<host::DEDRemoteConfig> remoteConfig_;
    std::vector<AppMetaData> apps_;
    KalAds ads_;
    Offers offers_;
    std::optional<CmpReferenceData> cmpReferenceData_;
    std::optional<VideoTutorials> videoTutorials_;
};
