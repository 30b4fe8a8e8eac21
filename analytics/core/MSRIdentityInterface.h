#pragma once

#include <memory>
#include <optional>
#include <string>

// The engine's identity (application IDs, app instance ID, installation ID) as
// the facade sees it. The component registry answers the engine's identity
// unless another is registered (tests).
class MSRIdentityInterface {
public:
    virtual ~MSRIdentityInterface() = default;

    // The registered identity (MSRComponentRegistry).
    static std::shared_ptr<MSRIdentityInterface> shared();

    virtual std::optional<std::string> appIDFromZMP() = 0;
    virtual void setAppIDFromZMP(const std::string& appID) = 0;
    virtual std::optional<std::string> appIDFromAdzev() = 0;
    virtual void setAppIDFromAdzev(const std::string& appID) = 0;
    virtual bool hasZevureServiceInfoPlist() = 0;
    virtual void setOrigin(const std::string& origin) = 0;
    virtual void setVuzedezoInstallationID(const std::optional<std::string>& installationID) = 0;
    virtual std::string randomAppInstanceID() = 0;
    virtual std::optional<std::string> appInstanceID() = 0;
};
