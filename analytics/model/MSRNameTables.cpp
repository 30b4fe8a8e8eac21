#include "analytics/model/MSRNameTables.h"

#include "analytics/support/MSRMonitor.h"
#include "platform/foundation/Text.h"

#include <algorithm>
#include <set>
#include <vector>

namespace {

using NameSet = std::set<std::string, std::less<>>;

bool nameStartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The public name of an internal one for debug lines: the first match that
// is not a "vuzedezo_" name, else the last "vuzedezo_" match.
std::string debugName(std::string_view name, const MSRNameMap& table) {
    if (name.empty() || table.empty() || name[0] != '_') return std::string(name);
    if (!MSRMonitor::shared()->isDebugModeEnabled()) return std::string(name);
    const std::string* fallback = nullptr;
    for (const auto& [publicName, internalName] : table) {
        if (internalName != name) continue;
        if (!nameStartsWith(publicName, "vuzedezo_")) return publicName + " (" + std::string(name) + ")";
        fallback = &publicName;
    }
    if (fallback) return *fallback + " (" + std::string(name) + ")";
    return std::string(name);
}

std::string debugValue(const std::string& name, const MSRValue& value) {
    if (const MSRValueList* items = value.arrayValue()) return MSRDebugArray(*items).text;
    if (name == "_err" && value.isInt64()) {
        const auto& names = MSRErrorCodeNameMap();
        auto it = names.find(value.int64Value());
        if (it != names.end()) return std::to_string(value.int64Value()) + " (" + it->second + ")";
    }
    return foundation::printable(value.description());
}

}  // namespace

const MSRNameMap& MSRInternalEventNameMap() {
    static const MSRNameMap map = {
        {"adunit_exposure", "_xu"},
        {"ad_activeview", "_aa"},
        {"ad_click", "_ac"},
        {"ad_exposure", "_xa"},
        {"ad_impression", "_ai"},
        {"ad_query", "_aq"},
        {"ad_reward", "_ar"},
        {"app_clear_data", "_cd"},
        {"app_exception", "_ae"},
        {"app_remove", "_ui"},
        {"app_store_refund", "_asr"},
        {"app_store_subscription_cancel", "_asse"},
        {"app_store_subscription_convert", "_assc"},
        {"app_store_subscription_renew", "_assr"},
        {"app_update", "_au"},
        {"app_upgrade", "_ug"},
        {"error", "_err"},
        {"vuzedezo_campaign", "_cmp"},
        {"first_open", "_f"},
        {"first_visit", "_v"},
        {"za_campaign", "_cmp"},
        {"za_extra_parameter", "_ep"},
        {"in_app_purchase", "_iap"},
        {"notification_dismiss", "_nd"},
        {"notification_foreground", "_nf"},
        {"notification_open", "_no"},
        {"notification_receive", "_nr"},
        {"os_update", "_ou"},
        {"screen_view", "_vs"},
        {"session_start", "_s"},
        {"session_start_with_rollout", "_ssr"},
        {"user_engagement", "_e"},
    };
    return map;
}

const MSRNameMap& MSRPublicEventNameMap() {
    static const MSRNameMap map = [] {
        MSRNameMap reversed;
        for (const auto& [publicName, internalName] : MSRInternalEventNameMap()) {
            reversed[internalName] = publicName;
        }
        // Two public names share "_cmp"; the one without the vendor prefix
        // is the one programs see.
        reversed["_cmp"] = "za_campaign";
        return reversed;
    }();
    return map;
}

const MSRNameMap& MSRAllowedReservedEventNameMap() {
    static const MSRNameMap map = {{"ad_impression", "_ai"}};
    return map;
}

const MSRNameMap& MSRInternalParameterNameMap() {
    static const MSRNameMap map = {
        {"ad_event_id", "_aeid"},
        {"ad_unit_id", "_ai"},
        {"app_in_background", "_aib"},
        {"deferred_analytics_collection", "_dac"},
        {"engagement_time_msec", "_et"},
        {"exposure_time", "_xt"},
        {"vuzedezo_conversion", "_c"},
        {"vuzedezo_debug", "_dbg"},
        {"vuzedezo_error", "_err"},
        {"vuzedezo_error_length", "_el"},
        {"vuzedezo_error_value", "_ev"},
        {"vuzedezo_event_origin", "_o"},
        {"vuzedezo_feature_rollouts", "_ffr"},
        {"vuzedezo_previous_class", "_pc"},
        {"vuzedezo_previous_id", "_pi"},
        {"vuzedezo_previous_screen", "_pn"},
        {"vuzedezo_realtime", "_r"},
        {"vuzedezo_screen", "_sn"},
        {"vuzedezo_screen_class", "_sc"},
        {"vuzedezo_screen_id", "_si"},
        {"za_conversion", "_c"},
        {"za_debug", "_dbg"},
        {"za_dedupe_id", "_did"},
        {"za_error", "_err"},
        {"za_error_length", "_el"},
        {"za_error_value", "_ev"},
        {"za_event_id", "_eid"},
        {"za_event_name", "_en"},
        {"za_event_origin", "_o"},
        {"za_extra_params_ct", "_epc"},
        {"za_group_name", "_gn"},
        {"za_index", "_i"},
        {"za_list_length", "_ll"},
        {"za_previous_class", "_pc"},
        {"za_previous_id", "_pi"},
        {"za_previous_screen", "_pn"},
        {"za_realtime", "_r"},
        {"za_screen", "_sn"},
        {"za_screen_class", "_sc"},
        {"za_screen_id", "_si"},
        {"message_id", "_nmid"},
        {"message_name", "_nmn"},
        {"message_time", "_nmt"},
        {"message_tracking_id", "_nmtid"},
        {"message_type", "_nmc"},
        {"message_device_time", "_ndt"},
        {"previous_app_version", "_pv"},
        {"previous_first_open_count", "_pfo"},
        {"previous_zmp_app_id", "_pzmp"},
        {"previous_os_version", "_po"},
        {"session_id", "_sid"},
        {"session_number", "_sno"},
        {"topic", "_nt"},
        {"update_with_analytics", "_uwa"},
    };
    return map;
}

const MSRNameMap& MSRReservedUserPropertyNameMap() {
    static const MSRNameMap map = {
        {"vuzedezo_last_notification", "_ln"}, {"first_open_after_install", "_fi"},
        {"first_open_time", "_fot"},           {"za_session_id", "_sid"},
        {"za_session_number", "_sno"},         {"last_advertising_id_reset", "_lair"},
        {"last_deep_link_referrer", "_ldl"},   {"lifetime_user_engagement", "_lte"},
        {"session_user_engagement", "_se"},    {"user_id", "_id"},
    };
    return map;
}

const std::map<int64_t, std::string>& MSRErrorCodeNameMap() {
    static const std::map<int64_t, std::string> map = {
        {0, "NoError"},
        {1, "InvalidZMPAppID"},
        {2, "InvalidEventName"},
        {3, "InvalidParameterName"},
        {4, "InvalidParameterValue"},
        {5, "ParameterLimitReached"},
        {6, "InvalidUserPropertyName"},
        {7, "UserPropertyValueTooLong"},
        {8, "EventLimitReached"},
        {9, "UserPropertyLimitReached"},
        {10, "ConversionEventLimitReached"},
        {11, "EventIsBlocked"},
        {12, "UserPropertyIsBlocked"},
        {13, "EventNameIsReserved"},
        {14, "ParameterNameIsReserved"},
        {15, "UserPropertyNameIsReserved"},
        {16, "PublicEventLimitReached"},
        {17, "TooManyExtraParamEvents"},
        {18, "ValueIsNotNumeric"},
        {19, "CurrencyCodeIsMissingOrInvalid"},
        {20, "InvalidArrayParamName"},
        {21, "InvalidArrayParamEventName"},
        {22, "InvalidArrayParamNesting"},
        {23, "CustomParamsInArrayElement"},
        {28, "ItemScopedCustomParameterLimitReached"},
    };
    return map;
}

bool MSRIsEcommerceEventName(std::string_view name) {
    static const NameSet names = {
        "add_payment_info",
        "add_shipping_info",
        "add_to_cart",
        "add_to_wishlist",
        "begin_checkout",
        "purchase",
        "refund",
        "remove_from_cart",
        "select_item",
        "select_promotion",
        "view_cart",
        "view_item",
        "view_item_list",
        "view_promotion",
        "ecommerce_purchase",
        "checkout_progress",
        "purchase_refund",
        "select_content",
        "set_checkout_option",
        "view_search_results",
    };
    return names.contains(name);
}

bool MSRIsItemParameterName(std::string_view name) {
    static const NameSet names = {
        "affiliation",     "coupon",         "creative_name",
        "creative_slot",   "currency",       "discount",
        "index",           "item_id",        "item_brand",
        "item_category",   "item_category2", "item_category3",
        "item_category4",  "item_category5", "item_list_name",
        "item_list_id",    "item_name",      "item_variant",
        "location_id",     "payment_type",   "price",
        "promotion_id",    "promotion_name", "quantity",
        "shipping",        "shipping_tier",  "tax",
        "transaction_id",  "value",          "checkout_step",
        "checkout_option", "item_list",      "item_location_id",
    };
    return names.contains(name);
}

bool MSRIsDefaultConversionEventName(std::string_view name) {
    static const NameSet names = {"ecommerce_purchase", "_f", "_iap", "purchase", "refund"};
    return names.contains(name);
}

bool MSRIsPublicName(std::string_view name) {
    if (name.empty()) {
        MSRMonitor::shared()->logWithLevel(2, 18003, "Cannot check the name. Name is empty");
        return false;
    }
    return name[0] != '_';
}

bool MSRIsErrorEventName(std::string_view name) {
    if (name.empty()) {
        MSRMonitor::shared()->logWithLevel(2, 18004, "Cannot check the event name. Name is empty");
        return false;
    }
    return name == "_err";
}

bool MSRIsNotErrorEventName(std::string_view name) {
    return name != "_err";
}

std::string MSRDebugEventName(std::string_view name) {
    return debugName(name, MSRInternalEventNameMap());
}

std::string MSRDebugParameterName(std::string_view name) {
    return debugName(name, MSRInternalParameterNameMap());
}

std::string MSRDebugUserPropertyName(std::string_view name) {
    if (nameStartsWith(name, "_exp_") && MSRMonitor::shared()->isDebugModeEnabled()) {
        return "experiment_id (" + std::string(name) + ")";
    }
    return debugName(name, MSRReservedUserPropertyNameMap());
}

MSRFormattedText MSRDebugParameters(const MSRParameters& parameters, std::string_view indent) {
    if (!MSRMonitor::shared()->isDebugModeEnabled()) {
        foundation::Value::Dictionary plain;
        for (const auto& [name, value] : parameters) plain.emplace(name, value.plainObject());
        return {foundation::printable(foundation::Value(std::move(plain)).jsonText())};
    }
    std::vector<std::string> lines;
    for (const auto& [name, value] : parameters) {
        lines.push_back(std::string(indent) + "    " + foundation::printable(MSRDebugParameterName(name)) +
                        " = " + debugValue(name, value) + ";\n");
    }
    std::sort(lines.begin(), lines.end(),
              [](const std::string& a, const std::string& b) { return lowercased(a) < lowercased(b); });
    std::string out = std::string(indent) + "{\n";
    for (const std::string& line : lines) out += line;
    return {out + std::string(indent) + "}"};
}

MSRFormattedText MSRDebugArray(const MSRValueList& items) {
    if (!MSRMonitor::shared()->isDebugModeEnabled())
        return {foundation::printable(MSRValue(items).description())};
    std::string out = "[\n";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ",\n";
        out += MSRDebugParameters(items[i], "    ").text;
    }
    return {out + "\n    ]"};
}
