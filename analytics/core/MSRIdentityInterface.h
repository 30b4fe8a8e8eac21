#pragma once

#include <memory>
#include <optional>
#include <string>

// The engine's identity (application IDs, app instance ID, installation ID) as
// the facade sees it. The identity keeper implements it and installs itself;
// without one the stored IDs read as absent and writes are dropped.
class MSRIdentityInterface {
public:
    virtual ~MSRIdentityInterface() = default;

    static void install(std::shared_ptr<MSRIdentityInterface> identity);
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
