#include "analytics/reporters/MSREClient.h"

#include "analytics/reporters/MSREManagerImpl.h"
#include "analytics/reporters/MSREMonitor.h"
#include "analytics/reporters/MSRESDKProperty.h"

MSREClient::MSREClient(std::shared_ptr<MSRESDKProperty> property,
                       std::map<std::string, MSRPBFlag> defaultFlags, std::weak_ptr<MSREManagerImpl> manager)
    : property_(std::move(property)), defaultFlags_(std::move(defaultFlags)), manager_(std::move(manager)) {}

std::shared_ptr<MSREClient> MSREClient::initWithSDKProperty(std::shared_ptr<MSRESDKProperty> property,
                                                            std::map<std::string, MSRPBFlag> defaultFlags,
                                                            std::weak_ptr<MSREManagerImpl> manager) {
    if (!property) {
        MSRELog(0, 830000, "Cannot initialize the client with nil property");
        return nullptr;
    }
    return std::make_shared<MSREClient>(std::move(property), std::move(defaultFlags), std::move(manager));
}

std::string MSREClient::SDKName() const {
    return property_->name();
}

std::optional<MSREFlagValue> MSREClient::valueForFlag(const std::string& name) const {
    if (name.empty()) {
        MSRELog(0, 830002, "Cannot get value for empty flag name");
        return std::nullopt;
    }
    auto manager = manager_.lock();
    return manager ? manager->flagValueForFlagName(name, SDKName()) : std::nullopt;
}

bool MSREClient::activateLatestSnapshot(MSRError* error) {
    auto manager = manager_.lock();
    return manager && manager->activateSnapshotOfSDK(SDKName(), error);
}

std::optional<bool> MSREClient::flagValue(const std::string& name) {
    std::optional<MSREFlagValue> value = valueForFlag(name);
    if (!value) return std::nullopt;
    if (const auto* integer = std::get_if<int64_t>(&*value)) return *integer != 0;
    if (const auto* number = std::get_if<double>(&*value)) return *number != 0;
    if (const auto* flag = std::get_if<bool>(&*value)) return *flag;
    return std::nullopt;
}

bool MSREClient::hasStaleSnapshot() const {
    auto manager = manager_.lock();
    return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == 1;
}

void MSREClient::resetToDefaults() {
    if (auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}
