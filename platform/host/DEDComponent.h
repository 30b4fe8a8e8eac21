#pragma once

#include <functional>
#include <string>
#include <vector>

namespace host {

class DEDApp;

// The host's component registry. Frameworks register a component once (at
// load time or on first use); when the default app is configured, every
// registered component is told, in the order of registration. A component
// registered after the configuration is told at once.
class DEDComponent {
public:
    using ConfigureHandler = std::function<void(const DEDApp& app)>;

    // Registers `name`; a second registration under the same name is ignored.
    static void registerComponent(const std::string& name, ConfigureHandler onConfigure);
    static bool isRegistered(const std::string& name);
    static std::vector<std::string> registeredNames();

    // Called by DEDApp after it has been configured.
    static void appDidConfigure(const DEDApp& app);

    // Forgets every component (tests register their own again).
    static void resetForTesting();
};

}  // namespace host
