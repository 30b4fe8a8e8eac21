#pragma once

// The engine's campaign links: a link the application is opened with (at
// launch, while it runs, or handed over by the ad server as the install's
// deferred deep link) becomes the internal campaign event "_cmp" ("_cmpx"
// for a parked link whose campaign is no longer known), with the link's
// campaign parameters under the engine's names. A link that arrives before
// the engine runs is parked in the application's preferences and reported
// once it has started. Its operations are the engine's (MSRMeasurementRoad.h).

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementRoad.h"
#include "analytics/model/MSRValue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"

class MSRDeepLinks : public MSRMeasurementRoad {
public:
    using MSRMeasurementRoad::MSRMeasurementRoad;

    static constexpr const char* kDeepLinkKey = "/zevure/measurement/deep_link";
    static constexpr const char* kDeepLinkTimestampKey = "/zevure/measurement/deep_link_timestamp_seconds";
    // Which parked link was handed over to the store, with how many campaign
    // events the store held just before (a dictionary: "link", "timestamp",
    // "recorded"); gone with the link once its event is committed.
    static constexpr const char* kDeepLinkReportedKey = "/zevure/measurement/deep_link_reported";
    // Links of later launches that came while the parked link still waited
    // for its campaign event (a launch killed before that event was
    // committed), and links opened while it runs: a list of {"link",
    // "timestamp"} ("opened": true for the latter), oldest first, each added
    // in one write of the list. Each becomes the parked link in turn once the
    // one before it has gone with its commit, so no link takes the place of
    // another's.
    static constexpr const char* kDeepLinksWaitingKey = "/zevure/measurement/deep_links_waiting";
    // The most links waiting behind the parked one: each needs a launch
    // killed before its link was reported. A link past it is not kept.
    static constexpr size_t kMaxWaitingDeepLinks = 16;
    // Which of the parked links were opened while the application ran (a
    // list of {"link", "timestamp"}): they are reported as such, without the
    // hour of a launch's cached campaign. Written as the waiting entry takes
    // the parked place, before the link; gone with it.
    static constexpr const char* kDeepLinksOpenedKey = "/zevure/measurement/deep_links_opened";
    // The latest time a stored link may carry: past it, milliseconds are no
    // longer whole in a double nor fit the event's integer time.
    static constexpr double kLatestStoredLinkSeconds = 9007199254740.0;  // 2^53 ms
    static constexpr const char* kDeferredDeepLinkPath = "/adserv/conversion/app/deeplink";
    // The largest answer of the ad server that is read.
    static constexpr size_t kMaxDeferredDeepLinkResponseBytes = 64 * 1024;

    // The link of a browsing user activity ({"activityType", "webpageURL"}).
    static std::optional<std::string> deepLinkFromUserActivity(const std::optional<foundation::Value::Dictionary>& activity);
    // Parks the launch link of the did-finish-launching notification's
    // options (a user activity's link before a launch URL).
    static void handleStoredURLAfterAppLaunchWithNotification(const foundation::Notification& notification);
    // Parks a launch's link opened at `seconds`: as the parked link when
    // none is, else behind it with the links waiting.
    static void parkLaunchLink(const std::string& link, double seconds);
    // Whether a stored link time is a time: a finite number of seconds
    // from 1970 up to kLatestStoredLinkSeconds. NaN, the infinities and
    // anything else are junk.
    static bool isStoredLinkTime(const foundation::Value& value);
    // Parks a link opened while the application runs: in one write, behind
    // the links waiting, marked as opened while running.
    static void parkOpenedLink(const std::string& link, double seconds);
    // Parks a campaign link at the moment the application hands it over, on
    // its own thread, before any queue takes it (other links are not kept).
    // The engine's hand-over of the same link then finds it parked.
    static void parkLinkAtItsOpening(const std::string& link, double seconds);
    // Tests only: `hold` runs as each opening is about to be parked, before
    // anything of it is stored (none: nothing runs). A test runs the queues
    // there, so that whatever was handed over before the park shows it.
    static void setBeforeParkingForTesting(std::function<void()> hold);
    // Whether the parked link `text` of `storedSeconds` was opened while the
    // application ran.
    static bool wasOpenedWhileRunning(const std::string& text, double storedSeconds);
    // Whether `link` and `seconds` name the parked link `text` of `storedSeconds`.
    static bool isSameParkedLink(const foundation::Value& link, double seconds, const std::string& text,
                                 double storedSeconds);
    // Makes the first waiting link the parked one when none is parked (a kill
    // may have come between the writes that hand the place over), and drops a
    // waiting entry that is the parked link already. Whether a link is parked.
    static bool promoteWaitingLink();
    // Once the campaign event of the parked link `text` of `storedSeconds` is
    // committed: removes it and its mark, unless another link is parked by
    // now, and parks the first waiting link in its place. Whether a link is
    // parked afterwards, and so waits for its report.
    static bool retireParkedLink(const std::string& text, double storedSeconds);

    // Links opened while the application runs (not from the worker queue).
    void handleOpenURL(const std::string& url, std::optional<int64_t> clickTimestampMillis,
                       double eventTimestampSeconds);
    void handleDeepLink(const std::string& url, std::optional<int64_t> clickTimestampMillis,
                        double eventTimestampSeconds);
    // Builds and logs the campaign event of `url` (none: only the extra
    // parameters speak) on the worker queue.
    void logCampaignEventOnWorkerQueue(const std::optional<std::string>& url,
                                       std::optional<int64_t> clickTimestampMillis, double eventTimestampSeconds,
                                       const MSRObjectDictionary& extraParameters);
    // Whether the query of `url` makes a campaign event (a required key with
    // a value): only such a link is stored before it is handed over.
    static bool isCampaignLink(const std::string& url);
    // Whether a required campaign key has a non-empty value.
    static bool isValidCampaignURLParamDictionary(const std::map<std::string, std::string>& parameters);
    bool shouldAllowClickID();
    // The campaign parameter name of a query key; nothing for other keys.
    static std::optional<std::string> campaignParameterName(const std::string& queryKey);

    // ---- the deferred deep link ----
    bool shouldAllowRequestDeferredDeepLink();
    // The request's address; nothing when no ad server is configured or
    // the address does not form.
    std::optional<std::string> deferredDeepLinkURL();
    void requestDeferredDeepLink();
    void handleDeferredDeepLinkResponse(const net::Response& response, const std::vector<uint8_t>& data,
                                        const std::optional<net::Error>& error);
    static std::optional<foundation::Value::Dictionary> deepLinkInfoFromResponseData(const std::vector<uint8_t>& data);
    void handleDeferredDeepLinkInfo(const foundation::Value::Dictionary& info);
    // Hands the link to the application delegate as an opened URL (main
    // thread); false when the delegate takes no URLs.
    static bool sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                         const foundation::Value::Dictionary& options);

private:
    uint64_t deferredDeepLinkRequest_ = 0;
};
