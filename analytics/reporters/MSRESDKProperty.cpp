#include "analytics/reporters/MSRESDKProperty.h"

#include "analytics/core/MSRIdentity.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/reporters/MSREMonitor.h"

std::shared_ptr<MSRESDKProperty> MSRESDKProperty::initWithName(const std::string& name) {
    if (name.empty()) {
        MSRELog(1, 860000, "Cannot init SDK property with invalid name", {MSRLogContext(name)});
        return nullptr;
    }
    return std::make_shared<MSRESDKProperty>(name);
}

std::optional<MSRPBClientProperty> MSRESDKProperty::proto() const {
    std::string key = diversionKey_.value_or("");
    if (key.empty()) key = MSRIdentity::sharedInstance()->diversionKey();
    if (key.empty()) {
        MSRELog(1, 860001, "Diversion key is empty");
        return std::nullopt;
    }
    MSRPBClientProperty message;
    MSRPBSetString(message, MSRClientPropertySlot::kSDKName, name_);
    MSRPBSetString(message, MSRClientPropertySlot::kDiversionID, key + "-" + name_);
    MSRPBSetInt64(message, MSRClientPropertySlot::kVersion, version_);
    MSRPBSetString(message, MSRClientPropertySlot::kAppID, appID_);

    std::map<std::string, std::string> properties = customProperties_;
    if (auto delegate = delegate_.lock()) {
        for (auto& [name, value] : delegate->dynamicCustomPropertiesForSDKProperty(*this))
            properties.insert_or_assign(name, value);
    }
    if (!properties.empty()) {
        std::vector<MSRPBCustomProperty> entries;
        for (const auto& [name, value] : properties) {
            MSRPBCustomProperty entry;
            MSRPBSetString(entry, MSRCustomPropertySlot::kKey, name);
            MSRPBSetString(entry, MSRCustomPropertySlot::kValue, value);
            entries.push_back(std::move(entry));
        }
        MSRPBSetMessageArray(message, MSRClientPropertySlot::kCustomProperties, std::move(entries));
    }
    return message;
}
