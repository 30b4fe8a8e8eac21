#pragma once

// The registration record of one client library of the experiments feature:
// what the request tells the server about it.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "analytics/messages/MSRPBMessages.h"

class MSRESDKProperty;

// Offers custom properties that change over time; asked each time a request is built.
class MSRESDKPropertyProviderDelegate {
  public:
    virtual ~MSRESDKPropertyProviderDelegate() = default;
    virtual std::map<std::string, std::string> dynamicCustomPropertiesForSDKProperty(
        const MSRESDKProperty& property) = 0;
};

class MSRESDKProperty {
  public:
    // Null (logged) for an empty name.
    static std::shared_ptr<MSRESDKProperty> initWithName(const std::string& name);
    explicit MSRESDKProperty(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    int64_t version() const { return version_; }
    void setVersion(int64_t version) { version_ = version; }
    const std::string& appID() const { return appID_; }
    void setAppID(std::string appID) { appID_ = std::move(appID); }
    // Empty: the engine's own diversion key stands in.
    const std::optional<std::string>& diversionKey() const { return diversionKey_; }
    void setDiversionKey(std::optional<std::string> key) { diversionKey_ = std::move(key); }
    const std::map<std::string, std::string>& customProperties() const { return customProperties_; }
    void setCustomProperties(std::map<std::string, std::string> properties) {
        customProperties_ = std::move(properties);
    }
    void setDelegate(std::weak_ptr<MSRESDKPropertyProviderDelegate> delegate) {
        delegate_ = std::move(delegate);
    }

    // The library's part of a request; nothing (logged) when neither the
    // record nor the engine has a diversion key, which leaves the library out.
    std::optional<MSRPBClientProperty> proto() const;

  private:
    std::string name_;
    int64_t version_ = 0;
    std::string appID_;
    std::optional<std::string> diversionKey_;
    std::map<std::string, std::string> customProperties_;
    std::weak_ptr<MSRESDKPropertyProviderDelegate> delegate_;
};
