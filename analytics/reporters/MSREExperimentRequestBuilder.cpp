#include "analytics/reporters/MSREExperimentRequestBuilder.h"

#include <algorithm>
#include <cctype>

#include "analytics/core/MSRIdentity.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/reporters/MSREManagerImpl.h"
#include "analytics/reporters/MSREMonitor.h"
#include "analytics/reporters/MSRESDKProperty.h"
#include "platform/foundation/Bundle.h"

MSREExperimentRequestBuilder& MSREExperimentRequestBuilder::sharedInstance() {
    static MSREExperimentRequestBuilder instance;
    return instance;
}

void MSREExperimentRequestBuilder::addSDKProperty(std::shared_ptr<MSRESDKProperty> property) {
    if (!property) {
        MSRELog(2, 880000, "Cannot add an empty SDK property.");
        return;
    }
    std::lock_guard lock(mutex_);
    clientPropertyBySDKName_.insert_or_assign(property->name(), std::move(property));
}

void MSREExperimentRequestBuilder::removeAllSDKProperties() {
    std::lock_guard lock(mutex_);
    clientPropertyBySDKName_.clear();
}

MSRPBAppProperty MSREExperimentRequestBuilder::appPropertyProto() const {
    MSRPBAppProperty message;
    MSRPBSetString(message, MSRAppPropertySlot::kPlatform, "ios");
    std::string language = foundation::Bundle::preferredLanguage();
    if (!language.empty()) {
        std::transform(language.begin(), language.end(), language.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        MSRPBSetString(message, MSRAppPropertySlot::kLanguage, language);
    }
    if (auto bundleID = foundation::Bundle::main().bundleIdentifier())
        MSRPBSetString(message, MSRAppPropertySlot::kBundleID, *bundleID);
    MSRPBSetBool(message, MSRAppPropertySlot::kFromAppStore, MSRIdentity::sharedInstance()->isFromAppStore());
    MSRPBSetInt64(message, MSRAppPropertySlot::kSDKVersion, MSREManagerImpl::version());
    return message;
}

MSRPBExperimentRequest MSREExperimentRequestBuilder::request() const {
    std::vector<std::shared_ptr<MSRESDKProperty>> properties;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [name, property] : clientPropertyBySDKName_) properties.push_back(property);
    }
    std::vector<MSRPBClientProperty> parts;
    for (const auto& property : properties) {
        if (auto part = property->proto()) parts.push_back(std::move(*part));
    }
    MSRPBExperimentRequest request;
    if (!parts.empty())
        MSRPBSetMessageArray(request, MSRExperimentRequestSlot::kClientProperties, std::move(parts));
    MSRPBSetMessage(request, MSRExperimentRequestSlot::kAppProperty, appPropertyProto());
    return request;
}
