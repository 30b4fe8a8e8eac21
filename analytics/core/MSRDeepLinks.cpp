// The engine's campaign links (see MSRDeepLinks.h).

#include "analytics/core/MSRDeepLinks.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <set>

#include "analytics/core/MSRAEU.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementLog.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRPercentEncoding.h"
#include "platform/foundation/Text.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/support/MSRStoredCount.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/host/AdvertisingIdentity.h"
#include "platform/ui/Application.h"

namespace {

using MSRMeasurementLog::log;
using MSRMeasurementLog::logWith;

struct CampaignKey {
    const char* queryKey;
    const char* parameter;
};
constexpr std::array<CampaignKey, 19> kCampaignKeys{{
    {"aclid", "aclid"},
    {"anid", "anid"},
    {"utm_campaign", "campaign"},
    {"cis", "_cis"},
    {"utm_content", "content"},
    {"cp1", "cp1"},
    {"dclid", "dclid"},
    {"zad_source", "zad_source"},
    {"zclid", "zclid"},
    {"zbraid", "zbraid"},
    {"utm_medium", "medium"},
    {"utm_source", "source"},
    {"zsltid", "zsltid"},
    {"utm_term", "term"},
    {"utm_id", "campaign_id"},
    {"utm_creative_format", "creative_format"},
    {"utm_marketing_tactic", "marketing_tactic"},
    {"utm_source_platform", "source_platform"},
    {"sfmc_id", "sfmc_id"},
}};
constexpr std::array<const char*, 10> kRequiredKeys{"utm_campaign", "zclid",  "utm_medium", "utm_source", "zbraid",
                                                    "utm_id",       "dclid",  "zsltid",     "sfmc_id",    "zad_source"};

// The query of a URL text: between the first "?" and the fragment.
std::string_view queryOfURL(std::string_view url) {
    const size_t fragment = url.find('#');
    if (fragment != std::string_view::npos) url = url.substr(0, fragment);
    const size_t question = url.find('?');
    return question == std::string_view::npos ? std::string_view() : url.substr(question + 1);
}

// Whether a text is a URL the application could be opened with: a scheme,
// "://" or ":" and something after it, and no blanks or control bytes.
bool isValidURL(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (size_t i = 0; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
    });
}

// A campaign event parameter of an extra number, as the engine types it.
std::optional<MSRValue> numberOf(const MSRObject& object) {
    if (const auto* value = std::get_if<MSRValue>(&object)) {
        if (value->isInt64() || value->isDouble()) return *value;
        return std::nullopt;
    }
    const auto& plain = std::get<foundation::Value>(object);
    if (auto integer = plain.integerValue()) return MSRValue(*integer);
    if (auto flag = plain.boolValue()) return MSRValue(int64_t{*flag ? 1 : 0});
    if (auto number = plain.doubleValue()) return MSRValue(*number);
    return std::nullopt;
}

const std::string* textOf(const MSRObject& object) {
    if (const auto* value = std::get_if<MSRValue>(&object)) return value->stringValue();
    return std::get<foundation::Value>(object).string();
}

}  // namespace

// ---------------------------------------------------------------------------
// Links from outside
// ---------------------------------------------------------------------------

std::optional<std::string> MSRDeepLinks::deepLinkFromUserActivity(
    const std::optional<foundation::Value::Dictionary>& activity) {
    if (!activity) {
        log(7, 23003, "User Activity is empty. User Activity");
        return std::nullopt;
    }
    const foundation::Value wrapped(*activity);
    const std::string* type = wrapped["activityType"].string();
    const std::string* url = wrapped["webpageURL"].string();
    if (type && *type == "NSUserActivityTypeBrowsingWeb" && url && !url->empty()) return *url;
    logWith(3, 23006, "User Activity does not have Deep Link. User Activity", wrapped.jsonText());
    return std::nullopt;
}

void MSRDeepLinks::handleStoredURLAfterAppLaunchWithNotification(const foundation::Notification& notification) {
    if (!notification.userInfo) return;
    const foundation::Value options(*notification.userInfo);
    std::optional<std::string> link;
    const foundation::Value& activities = options["UIApplicationLaunchOptionsUserActivityDictionaryKey"];
    if (const auto* dictionary = activities.dictionary(); dictionary && !dictionary->empty()) {
        const foundation::Value& activity = activities["UIApplicationLaunchOptionsUserActivityKey"];
        if (const auto* fields = activity.dictionary()) link = deepLinkFromUserActivity(*fields);
    }
    if (!link || link->empty()) {
        if (const std::string* url = options["UIApplicationLaunchOptionsURLKey"].string(); url && !url->empty())
            link = *url;
    }
    if (!link || link->empty()) return;
    parkLaunchLink(*link, dispatch::Clock::now());
    // An engine that has already started has looked for a parked link and
    // will not look again before the next launch: it reports this one now.
    if (auto engine = MSRMeasurement::hasSharedInstance() ? MSRMeasurement::sharedInstance() : nullptr) {
        engine->onWorkerQueue("MSRMeasurement:447", [](MSRMeasurement& engine) {
            if (engine.didInitializeComponents() && engine.hasComponentsOnWorkerQueue())
                engine.startUp().reportStoredCampaignEventOnWorkerQueue(std::nullopt);
        });
    }
}

namespace {

// Parking on the main thread and the worker's hand-over of the parked place
// each read and write several keys: neither sees the other's half done.
std::mutex& deepLinksParkedLinkMutex() {
    static std::mutex mutex;
    return mutex;
}

foundation::Value deepLinksWaitingEntry(const std::string& link, double seconds, bool opened = false) {
    foundation::Value::Dictionary entry{{"link", foundation::Value(link)}, {"timestamp", foundation::Value(seconds)}};
    if (opened) entry.emplace("opened", foundation::Value(true));
    return foundation::Value(std::move(entry));
}

// The longest link kept waiting: a campaign link's 19 parameters of at most
// 100 characters each, percent-encoded, come to well under it, and it is the
// request-line limit of common web servers, so no link a server would take
// is refused. Read as the waiting list is read, so that what another
// program left there costs the cap times this at most.
constexpr size_t kDeepLinksWaitingLinkBytes = 8 * 1024;

// Whether a waiting entry is one this engine writes: a link of at most the
// bound above and its time.
bool deepLinksIsWaitingEntry(const foundation::Value& entry) {
    const std::string* text = entry["link"].string();
    return text && !text->empty() && text->size() <= kDeepLinksWaitingLinkBytes &&
           MSRDeepLinks::isStoredLinkTime(entry["timestamp"]);
}

// The waiting list as stored, read within its cap: of its first
// kMaxWaitingDeepLinks entries those this engine could have written.
// `*clean` is false when the stored value holds anything else (more entries,
// junk, no list), which the caller drops with its one write of the list.
foundation::Value::List deepLinksWaiting(MSRUserDefaults& defaults, bool* clean) {
    const foundation::Value stored = defaults.objectForKey(MSRDeepLinks::kDeepLinksWaitingKey);
    foundation::Value::List waiting;
    const foundation::Value::List* list = stored.list();
    if (!list) {
        *clean = stored.isAbsent();
        return waiting;
    }
    const size_t read = std::min(list->size(), MSRDeepLinks::kMaxWaitingDeepLinks);
    for (size_t i = 0; i < read; ++i) {
        if (deepLinksIsWaitingEntry((*list)[i])) waiting.push_back((*list)[i]);
    }
    *clean = waiting.size() == list->size();
    if (!*clean)
        logWith(3, 23275, "Campaign links waiting to be reported that are not kept. Count",
                static_cast<int64_t>(list->size() - waiting.size()));
    return waiting;
}

void deepLinksStoreWaiting(MSRUserDefaults& defaults, const foundation::Value::List& waiting) {
    defaults.setObject(waiting.empty() ? foundation::Value() : foundation::Value(waiting),
                       MSRDeepLinks::kDeepLinksWaitingKey);
}

// The marks of links opened while running that still name a parked or
// waiting link, the others left out. Called with the mutex held.
foundation::Value::List deepLinksOpenedMarks(MSRUserDefaults& defaults) {
    const foundation::Value stored = defaults.objectForKey(MSRDeepLinks::kDeepLinksOpenedKey);
    const foundation::Value::List* marks = stored.list();
    if (!marks) return {};
    bool clean = true;
    foundation::Value::List links = deepLinksWaiting(defaults, &clean);
    const foundation::Value parked = defaults.objectForKey(MSRDeepLinks::kDeepLinkKey);
    if (const std::string* text = parked.string()) {
        links.push_back(deepLinksWaitingEntry(
            *text, defaults.objectForKey(MSRDeepLinks::kDeepLinkTimestampKey).doubleValue().value_or(0)));
    }
    foundation::Value::List kept;
    for (const foundation::Value& mark : *marks) {
        const std::string* text = mark["link"].string();
        if (!text) continue;
        const double seconds = mark["timestamp"].doubleValue().value_or(0);
        for (const foundation::Value& link : links) {
            if (MSRDeepLinks::isSameParkedLink(link["link"], link["timestamp"].doubleValue().value_or(0),
                                               *text, seconds)) {
                kept.push_back(mark);
                break;
            }
        }
    }
    return kept;
}

void deepLinksStoreOpenedMarks(MSRUserDefaults& defaults, const foundation::Value::List& marks) {
    defaults.setObject(marks.empty() ? foundation::Value() : foundation::Value(marks),
                       MSRDeepLinks::kDeepLinksOpenedKey);
}

// Marks the waiting entry `entry` as opened while running, unless a mark
// names it already. Called with the mutex held.
void deepLinksAddOpenedMark(MSRUserDefaults& defaults, const foundation::Value& entry) {
    foundation::Value::List marks = deepLinksOpenedMarks(defaults);
    const std::string& text = *entry["link"].string();
    const double seconds = *entry["timestamp"].doubleValue();
    const bool marked = std::any_of(marks.begin(), marks.end(), [&](const foundation::Value& mark) {
        return MSRDeepLinks::isSameParkedLink(mark["link"], mark["timestamp"].doubleValue().value_or(0), text,
                                              seconds);
    });
    if (marked || marks.size() > MSRDeepLinks::kMaxWaitingDeepLinks) return;
    marks.push_back(deepLinksWaitingEntry(text, seconds));
    deepLinksStoreOpenedMarks(defaults, marks);
}

// Called with the mutex held: see promoteWaitingLink. Writes the list once
// at most: its junk goes with the change this call makes.
bool deepLinksPromoteLocked(MSRUserDefaults& defaults) {
    bool clean = true;
    foundation::Value::List waiting = deepLinksWaiting(defaults, &clean);
    foundation::Value parked = defaults.objectForKey(MSRDeepLinks::kDeepLinkKey);
    const foundation::Value parkedTime = defaults.objectForKey(MSRDeepLinks::kDeepLinkTimestampKey);
    if (parked.string() && !parked.string()->empty() && !parkedTime.isAbsent() &&
        !MSRDeepLinks::isStoredLinkTime(parkedTime)) {
        // A time no clock gives (NaN, an infinity, past the bound) names no
        // moment: the link can be neither dated nor told from another, and
        // goes as junk does, with its mark, before anything compares it.
        logWith(3, 23275, "Campaign links waiting to be reported that are not kept. Count", int64_t{1});
        defaults.setObject(foundation::Value(), MSRDeepLinks::kDeepLinkKey);
        defaults.setObject(foundation::Value(), MSRDeepLinks::kDeepLinkTimestampKey);
        defaults.setObject(foundation::Value(), MSRDeepLinks::kDeepLinkReportedKey);
        parked = foundation::Value();
    }
    if (parked.string() && !parked.string()->empty()) {
        // The place was handed to the first waiting link, and a kill came
        // before it left the list: it is reported as the parked link only.
        const double parkedSeconds =
            defaults.objectForKey(MSRDeepLinks::kDeepLinkTimestampKey).doubleValue().value_or(0);
        if (!waiting.empty() &&
            MSRDeepLinks::isSameParkedLink(waiting.front()["link"], waiting.front()["timestamp"].doubleValue().value_or(0),
                                           *parked.string(), parkedSeconds)) {
            waiting.erase(waiting.begin());
            clean = false;
        }
        if (!clean) deepLinksStoreWaiting(defaults, waiting);
        return true;
    }
    // No link is parked: what a kill left of the last one (its time, its
    // mark, the mark of its report) names nothing any more.
    for (const char* key : {MSRDeepLinks::kDeepLinkKey, MSRDeepLinks::kDeepLinkReportedKey})
        if (!defaults.objectForKey(key).isAbsent()) defaults.setObject(foundation::Value(), key);
    if (waiting.empty() && !parkedTime.isAbsent())
        defaults.setObject(foundation::Value(), MSRDeepLinks::kDeepLinkTimestampKey);
    if (const foundation::Value marks = defaults.objectForKey(MSRDeepLinks::kDeepLinksOpenedKey); !marks.isAbsent()) {
        const foundation::Value::List kept = deepLinksOpenedMarks(defaults);
        if (!marks.list() || kept.size() != marks.list()->size()) deepLinksStoreOpenedMarks(defaults, kept);
    }
    if (waiting.empty()) {
        if (!clean) deepLinksStoreWaiting(defaults, waiting);
        return false;
    }
    // The mark of a link opened while running first, then the time before
    // the link, as at parking; the entry leaves the list last. A kill in
    // between leaves the entry waiting (its mark names it) or parked and
    // waiting both, which the next call sorts out above.
    const foundation::Value next = waiting.front();
    if (next["opened"].boolValue().value_or(false)) deepLinksAddOpenedMark(defaults, next);
    defaults.setObject(foundation::Value(*next["timestamp"].doubleValue()), MSRDeepLinks::kDeepLinkTimestampKey);
    defaults.setObject(next["link"], MSRDeepLinks::kDeepLinkKey);
    waiting.erase(waiting.begin());
    deepLinksStoreWaiting(defaults, waiting);
    return true;
}

// Puts the link at the end of the waiting list, in the one write of the
// list: the link, its time and whether it was opened while running go
// together, so a kill leaves all of them or none. Called with the mutex held.
void deepLinksAppendWaitingLocked(MSRUserDefaults& defaults, const std::string& link, double seconds, bool opened) {
    bool clean = true;
    foundation::Value::List waiting = deepLinksWaiting(defaults, &clean);
    if (waiting.size() >= MSRDeepLinks::kMaxWaitingDeepLinks || link.size() > kDeepLinksWaitingLinkBytes ||
        !MSRDeepLinks::isStoredLinkTime(foundation::Value(seconds))) {
        if (!clean) deepLinksStoreWaiting(defaults, waiting);
        logWith(3, 23271,
                waiting.size() >= MSRDeepLinks::kMaxWaitingDeepLinks
                    ? "Too many campaign links wait to be reported. The launch's link is not kept. Link"
                    : "The launch's link is too long to wait to be reported. It is not kept. Link",
                link.substr(0, 256));
        return;
    }
    waiting.push_back(deepLinksWaitingEntry(link, seconds, opened));
    deepLinksStoreWaiting(defaults, waiting);
}

}  // namespace

bool MSRDeepLinks::isStoredLinkTime(const foundation::Value& value) {
    const std::optional<double> seconds = value.doubleValue();
    return seconds && std::isfinite(*seconds) && *seconds >= 0 && *seconds <= kLatestStoredLinkSeconds;
}

void MSRDeepLinks::parkLaunchLink(const std::string& link, double seconds) {
    auto defaults = MSRUserDefaults::sharedUserDefaults();
    std::lock_guard lock(deepLinksParkedLinkMutex());
    const foundation::Value parked = defaults->objectForKey(kDeepLinkKey);
    const foundation::Value waiting = defaults->objectForKey(kDeepLinksWaitingKey);
    if ((parked.string() && !parked.string()->empty()) || !waiting.isAbsent()) {
        // The parked link waits for its campaign event (its launch was
        // killed before it was reported), or links wait to take its place:
        // each keeps its place, and this one goes behind them.
        deepLinksAppendWaitingLocked(*defaults, link, seconds, false);
        return;
    }
    // The engine's start may read the parked link on the worker meanwhile: it
    // goes by the link, so the link's time is there first. A link read
    // without its time would count as expired and lose its campaign; a kill
    // in between leaves a time that names no link, as if none had come.
    defaults->setObject(foundation::Value(seconds), kDeepLinkTimestampKey);
    defaults->setObject(foundation::Value(link), kDeepLinkKey);
}


void MSRDeepLinks::parkOpenedLink(const std::string& link, double seconds) {
    // One write: the link waits, with its time and its mark in its entry,
    // and takes the parked place (its mark first) when the worker next
    // looks, behind whatever waited before it.
    auto defaults = MSRUserDefaults::sharedUserDefaults();
    std::lock_guard lock(deepLinksParkedLinkMutex());
    deepLinksAppendWaitingLocked(*defaults, link, seconds, true);
}

namespace {

// The links parked at their opening whose hand-over to the engine has not
// come yet: that hand-over parks them no second time.
std::mutex& deepLinksAtOpeningMutex() {
    static std::mutex mutex;
    return mutex;
}
std::multiset<std::pair<std::string, double>>& deepLinksParkedAtOpening() {
    static std::multiset<std::pair<std::string, double>> links;
    return links;
}

std::function<void()>& deepLinksBeforeParking() {
    static std::function<void()> hold;
    return hold;
}

}  // namespace

void MSRDeepLinks::setBeforeParkingForTesting(std::function<void()> hold) { deepLinksBeforeParking() = std::move(hold); }

void MSRDeepLinks::parkLinkAtItsOpening(const std::string& link, double seconds) {
    if (const auto& hold = deepLinksBeforeParking()) hold();
    if (link.empty() || !isCampaignLink(link)) return;
    parkOpenedLink(link, seconds);
    std::lock_guard lock(deepLinksAtOpeningMutex());
    deepLinksParkedAtOpening().emplace(link, seconds);
}

bool MSRDeepLinks::wasOpenedWhileRunning(const std::string& text, double storedSeconds) {
    auto defaults = MSRUserDefaults::sharedUserDefaults();
    std::lock_guard lock(deepLinksParkedLinkMutex());
    const foundation::Value stored = defaults->objectForKey(kDeepLinksOpenedKey);
    const foundation::Value::List* marks = stored.list();
    if (!marks) return false;
    return std::any_of(marks->begin(), marks->end(), [&](const foundation::Value& mark) {
        return isSameParkedLink(mark["link"], mark["timestamp"].doubleValue().value_or(0), text,
                                storedSeconds);
    });
}

bool MSRDeepLinks::isSameParkedLink(const foundation::Value& link, double seconds, const std::string& text,
                                    double storedSeconds) {
    // Times read through isStoredLinkTime are finite; equal ones match
    // whatever they are, so no comparison of a stored value fails forever.
    return link.string() && *link.string() == text &&
           (seconds == storedSeconds || std::fabs(seconds - storedSeconds) < 1e-3);
}

bool MSRDeepLinks::promoteWaitingLink() {
    auto defaults = MSRUserDefaults::sharedUserDefaults();
    std::lock_guard lock(deepLinksParkedLinkMutex());
    return deepLinksPromoteLocked(*defaults);
}

bool MSRDeepLinks::retireParkedLink(const std::string& text, double storedSeconds) {
    auto defaults = MSRUserDefaults::sharedUserDefaults();
    std::lock_guard lock(deepLinksParkedLinkMutex());
    // A newer link parked meanwhile is not this one's to remove.
    if (isSameParkedLink(defaults->objectForKey(kDeepLinkKey),
                         defaults->objectForKey(kDeepLinkTimestampKey).doubleValue().value_or(0), text,
                         storedSeconds)) {
        defaults->setObject(foundation::Value(), kDeepLinkKey);
        defaults->setObject(foundation::Value(), kDeepLinkTimestampKey);
        defaults->setObject(foundation::Value(), kDeepLinkReportedKey);
    }
    const bool parked = deepLinksPromoteLocked(*defaults);
    // The marks of links gone go with them.
    if (!defaults->objectForKey(kDeepLinksOpenedKey).isAbsent()) {
        const foundation::Value::List marks = deepLinksOpenedMarks(*defaults);
        deepLinksStoreOpenedMarks(*defaults, marks);
    }
    return parked;
}

void MSRDeepLinks::handleOpenURL(const std::string& url, std::optional<int64_t> clickTimestampMillis,
                                 double eventTimestampSeconds) {
    if (url.empty()) return;
    // Debug mode is switched by launch arguments only; a link changes nothing.
    handleDeepLink(url, clickTimestampMillis, eventTimestampSeconds);
}

void MSRDeepLinks::handleDeepLink(const std::string& url, std::optional<int64_t> clickTimestampMillis,
                                  double eventTimestampSeconds) {
    // A campaign link is stored before the worker gets it, as a launch's link
    // is, and reported from there: a kill before its event is committed
    // leaves it for the next report, one after leaves its mark.
    if (!clickTimestampMillis && isCampaignLink(url)) {
        bool parked = false;
        {
            std::lock_guard lock(deepLinksAtOpeningMutex());
            auto& atOpening = deepLinksParkedAtOpening();
            if (auto found = atOpening.find({url, eventTimestampSeconds}); found != atOpening.end()) {
                atOpening.erase(found);
                parked = true;
            }
        }
        if (!parked) parkOpenedLink(url, eventTimestampSeconds);
        engine_.onWorkerQueue("MSRMeasurement:446", [](MSRMeasurement& engine) {
            if (engine.didInitializeComponents() && engine.hasComponentsOnWorkerQueue())
                engine.startUp().reportStoredCampaignEventOnWorkerQueue(std::nullopt);
        });
        return;
    }
    engine_.onWorkerQueue("MSRMeasurement:446", [url, clickTimestampMillis, eventTimestampSeconds](MSRMeasurement& engine) {
        if (!engine.hasComponentsOnWorkerQueue()) return;
        engine.handleOpenURLOnWorkerQueue(url, clickTimestampMillis, eventTimestampSeconds, {});
    });
}

// ---------------------------------------------------------------------------
// The campaign event
// ---------------------------------------------------------------------------

std::optional<std::string> MSRDeepLinks::campaignParameterName(const std::string& queryKey) {
    for (const CampaignKey& key : kCampaignKeys)
        if (queryKey == key.queryKey) return std::string(key.parameter);
    return std::nullopt;
}

bool MSRDeepLinks::isCampaignLink(const std::string& url) {
    std::map<std::string, std::string> parameters;
    for (auto& [key, value] : msr_dictionaryWithHttpArgumentsString(queryOfURL(url))) {
        if (!key.empty()) parameters[key] = foundation::withoutControlCharacters(value);
    }
    return isValidCampaignURLParamDictionary(parameters);
}

bool MSRDeepLinks::isValidCampaignURLParamDictionary(const std::map<std::string, std::string>& parameters) {
    return std::any_of(kRequiredKeys.begin(), kRequiredKeys.end(), [&](const char* key) {
        auto found = parameters.find(key);
        return found != parameters.end() && !found->second.empty();
    });
}

bool MSRDeepLinks::shouldAllowClickID() {
    auto& advertising = host::AdvertisingIdentity::shared();
    if (advertising.systemMajorVersion() < 14) return true;
    if (engine_.identity_) {
        if (auto identifier = engine_.identity_->resettableDeviceID(); identifier && !identifier->empty()) return true;
    }
    return advertising.hasTrackingManager() &&
           advertising.trackingAuthorizationStatus() == host::AdvertisingIdentity::kAuthorized;
}

void MSRDeepLinks::logCampaignEventOnWorkerQueue(const std::optional<std::string>& url,
                                                 std::optional<int64_t> clickTimestampMillis,
                                                 double eventTimestampSeconds,
                                                 const MSRObjectDictionary& extraParameters) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("handleOpenURLOnWorkerQueue", engine_.monitor().get());
    if (!engine_.hasComponentsOnWorkerQueue()) return;
    std::map<std::string, std::string> parameters;
    std::map<std::string, MSRValue> numbers;
    for (const auto& [key, object] : extraParameters) {
        if (const std::string* text = textOf(object)) {
            parameters[key] = *text;
        } else if (auto number = numberOf(object)) {
            numbers.emplace(key, *number);
        }
    }
    if (url) {
        for (auto& [key, value] : msr_dictionaryWithHttpArgumentsString(queryOfURL(*url))) {
            if (!key.empty()) parameters[key] = value;
        }
    }
    // A link is anyone's text: what it decodes to is stored, uploaded and
    // logged, and a NUL or an escape sequence has no place in a campaign name.
    for (auto& [key, value] : parameters) value = foundation::withoutControlCharacters(value);
    if (parameters.empty()) {
        log(7, 23000, "Deep Link Web URL query is empty");
        return;
    }
    if (!isValidCampaignURLParamDictionary(parameters)) {
        const foundation::Value given(foundation::Value::Dictionary(parameters.begin(), parameters.end()));
        logWith(3, 23001, "Deep Link does not contain valid required params. URL params", given.jsonText());
        return;
    }
    MSRObjectDictionary event;
    for (const auto& [key, value] : parameters) {
        auto name = campaignParameterName(key);
        if (name && !value.empty()) event[*name] = MSRValue(value);
    }
    if (!shouldAllowClickID()) {
        for (const char* clickID : {"zclid", "dclid", "zsltid"}) event.erase(clickID);
    }
    for (const auto& [key, number] : numbers) event[key] = number;
    if (clickTimestampMillis) event["click_timestamp"] = MSRValue(*clickTimestampMillis);

    const double firstOpen = static_cast<double>(engine_.persistedConfig_->firstOpenTimestampMilliseconds()) / 1000;
    const double timestamp = std::max(firstOpen, eventTimestampSeconds);
    if (auto found = event.find("zbraid"); found != event.end()) {
        const std::string* zbraid = textOf(found->second);
        if (zbraid && !zbraid->empty()) {
            if (auto attribute = MSRUserAttribute::initWithOrigin("auto", "_zbraid", MSRValue(*zbraid), timestamp))
                engine_.setUserPropertyInDatabaseOnWorkerQueue(*attribute);
        }
    }
    bool unknownCampaign = false;
    if (auto found = event.find("_cc"); found != event.end()) {
        auto number = numberOf(found->second);
        unknownCampaign = number && number->isInt64() && number->int64Value() == 1;
    }
    auto campaign = MSREvent::initWithOrigin("auto", false, unknownCampaign ? "_cmpx" : "_cmp", timestamp, 0, event);
    if (campaign) engine_.handleInternalEventOnWorkerQueue(*campaign);
}

// ---------------------------------------------------------------------------
// The deferred deep link
// ---------------------------------------------------------------------------

bool MSRDeepLinks::shouldAllowRequestDeferredDeepLink() {
    if (!engine_.hasComponentsOnWorkerQueue()) return false;
    if (!engine_.remoteConfig_->isDeferredDeepLinkEnabled()) {
        log(5, 23193, "Deferred Deep Link feature disabled");
        return false;
    }
    const foundation::Value enabled =
        engine_.identity_->bundle().objectForInfoDictionaryKey("ZEVURE_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED");
    if (!msr_truthOfNumber(enabled).value_or(false)) return false;
    if (!engine_.persistedConfig_->deferredDeepLinkRetrievalComplete().isAbsent()) {
        log(7, 23194, "Already retrieved Deferred Deep Link. Skipping");
        return false;
    }
    if (engine_.persistedConfig_->deferredDeepLinkRetryCount() >= engine_.remoteConfig_->maxDeferredDeepLinkRetryCount()) {
        log(3, 23195, "Failed to retrieve Deferred Deep Link. Reached retry limit");
        engine_.persistedConfig_->setDeferredDeepLinkRetrievalComplete(foundation::Value(int64_t{1}));
        return false;
    }
    if (MSRConsentSettingsUtil::isAdStorageDenied()) {
        log(3, 23252, "IDFA unavailable to retrieve Deferred Deep Link due to denied ad storage consent. Skipping");
        return false;
    }
    if (!engine_.identity_->hasLimitedAdTracking() || engine_.identity_->limitedAdTracking()) {
        log(3, 23196, "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
        return false;
    }
    log(7, 23197, "Deferred Deep Link feature enabled");
    return true;
}

// Every value that comes from elsewhere (the advertising identifier, the
// bundle identifier, the consent signals, the server's list of services) is
// percent-encoded: a value holding "&" or "=" must not add or change a
// parameter of the request.
std::optional<std::string> MSRDeepLinks::deferredDeepLinkURL() {
    const std::string base = MSRRemoteConfig::measurementURL();
    if (base.empty()) return std::nullopt;
    auto argument = [](const char* key, const std::string& value) {
        return std::string(key) + "=" + MSRPercentEncoded(value);
    };
    std::string url = base + kDeferredDeepLinkPath + "?";
    url += argument("sdk_version", std::to_string(MSRIdentity::rovIdarurozaroLibraryVersion()));
    url += "&" + argument("rdid", engine_.identity_->resettableDeviceID().value_or(""));
    url += "&id_type=idfa";
    url += "&" + argument("bundleid", engine_.identity_->appID());
    url += "&" + argument("retry", std::to_string(engine_.persistedConfig_->deferredDeepLinkRetryCount()));
    const auto& arguments = foundation::ProcessInfo::arguments();
    if (!MSRAEU::isFAS() && std::find(arguments.begin(), arguments.end(), "-DebugDeferredDeepLink") != arguments.end())
        url += "&ddl_test=1";
    if (engine_.remoteConfig_->DMAConsentEnabled()) {
        url += "&" + argument("gcs", MSRConsentSettingsUtil::consentSignals());
        const bool dmaRegion = engine_.remoteConfig_->isDMARegion();
        url += std::string("&dma=") + (dmaRegion ? "1" : "0");
        const std::set<std::string> services = engine_.remoteConfig_->corePlatformServices();
        if (MSRConsentSettingsUtil::isAdUserDataDenied()) {
            url += "&dma_cps=-";
        } else if (dmaRegion && !services.empty()) {
            std::string joined;
            for (const std::string& service : services) joined += service;  // a set is sorted ascending
            url += "&" + argument("dma_cps", joined);
        }
        if (auto personalization = MSRConsentSettingsUtil::adPersonalization())
            url += std::string("&npa=") + (*personalization ? "0" : "1");
    }
    if (!isValidURL(url)) return std::nullopt;
    return url;
}

void MSRDeepLinks::requestDeferredDeepLink() {
    if (!engine_.hasComponentsOnWorkerQueue() || !engine_.network_) return;
    auto url = deferredDeepLinkURL();
    if (!url) {
        log(3, 23198, "URL to retrieve Deferred Deep Link is invalid");
        return;
    }
    const double timeout = engine_.remoteConfig_->networkTimeout();
    const uint64_t request = engine_.pendingRequest().begin("deferred deep link", timeout, [](MSRMeasurement& engine) {
        engine.deepLinks().handleDeferredDeepLinkResponse(net::Response{}, {}, net::Error{net::Error::kTimedOut, "no answer"});
    });
    deferredDeepLinkRequest_ = request;
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    const std::string session = engine_.network_->getURL(
        *url, {}, kMaxDeferredDeepLinkResponseBytes, engine_.scheduler_->workerQueue(),
        engine_.uploader().shouldUseBackgroundSession(),
        [weak, request](const net::Response& response, const std::vector<uint8_t>& data,
                        const std::optional<net::Error>& error) {
            auto engine = weak.lock();
            if (!engine || !engine->pendingRequest().end(request)) return;
            engine->deepLinks().handleDeferredDeepLinkResponse(response, data, error);
        });
    if (session.empty() && engine_.pendingRequest().end(request)) {
        // Nothing was sent and no completion will come.
        handleDeferredDeepLinkResponse(net::Response{}, {}, net::Error{net::Error::kTransport, "No network session"});
    }
}

void MSRDeepLinks::handleDeferredDeepLinkResponse(const net::Response& response, const std::vector<uint8_t>& data,
                                                  const std::optional<net::Error>& error) {
    if (!engine_.hasComponentsOnWorkerQueue()) return;
    const int status = response.statusCode;
    if (!error && (status == 200 || status == 204 || status == 304)) {
        engine_.persistedConfig_->setDeferredDeepLinkRetrievalComplete(foundation::Value(int64_t{0}));
        if (auto info = deepLinkInfoFromResponseData(data)) {
            log(7, 23200, "Successfully retrieved Deferred Deep Link");
            handleDeferredDeepLinkInfo(*info);
        } else {
            engine_.uploader().updateSchedule();
        }
        return;
    }
    std::vector<MSRLogContext> contexts;
    contexts.reserve(2);
    contexts.emplace_back(static_cast<int64_t>(status));
    contexts.emplace_back(error ? error->description : std::string());
    log(1, 23199, "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error", contexts);
    engine_.persistedConfig_->setDeferredDeepLinkRetryCount(
        MSRNextCount(engine_.persistedConfig_->deferredDeepLinkRetryCount()));
    engine_.uploader().updateSchedule();
}

std::optional<foundation::Value::Dictionary> MSRDeepLinks::deepLinkInfoFromResponseData(const std::vector<uint8_t>& data) {
    if (data.empty()) {
        log(8, 23201, "Deferred Deep Link response is empty");
        return std::nullopt;
    }
    auto parsed = foundation::Value::parseJson(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!parsed) {
        log(1, 23202, "Failed to parse Deferred Deep Link from JSON. Error");
        return std::nullopt;
    }
    const auto* object = parsed->dictionary();
    if (!object || object->empty()) return std::nullopt;
    const std::string* link = (*parsed)["deeplink"].string();
    if (!link || !isValidURL(*link)) return std::nullopt;
    return *object;
}

void MSRDeepLinks::handleDeferredDeepLinkInfo(const foundation::Value::Dictionary& info) {
    const foundation::Value answer(info);
    const std::string* link = answer["deeplink"].string();
    if (!link || !isValidURL(*link)) return;
    MSRObjectDictionary extra = {{"cis", MSRValue(std::string("ddp"))}};
    for (const char* key : {"zclid", "zbraid"}) {
        if (const std::string* value = answer[key].string()) extra[key] = MSRValue(*value);
    }
    foundation::Value::Dictionary options;
    if (!answer["timestamp"].isAbsent()) options["timestamp"] = answer["timestamp"];
    log(8, 23203, "Sending Deferred Deep Link to app delegate");
    const double now = dispatch::Clock::now();
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    const std::string url = *link;
    dispatch::MainQueue::shared()->async([weak, url, options, extra, now] {
        if (!sendDeepLinkURLToAppDelegateOnMainThread(url, options)) {
            logWith(3, 23204, "App delegate not configured to handle Deferred Deep Link", url);
            return;
        }
        if (auto engine = weak.lock()) {
            engine->onWorkerQueue("MSRMeasurement:368", [url, extra, now](MSRMeasurement& engine) {
                engine.handleOpenURLOnWorkerQueue(url, std::nullopt, now, extra);
            });
        }
    });
}

bool MSRDeepLinks::sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                           const foundation::Value::Dictionary& options) {
    auto& application = ui::Application::shared();
    auto delegate = application.delegate();
    if (!delegate) return false;
    return delegate->openURL(application, url, options).has_value();
}
