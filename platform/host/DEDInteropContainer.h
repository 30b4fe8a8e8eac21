#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace host {

// The host's container of interop objects: a framework offers an object that
// implements an interop protocol (known by its name), and other frameworks
// ask the container for one. The creation block runs on every request; the
// container keeps no instance. It also keeps the names and versions of the
// frameworks that announce themselves as internal libraries.
class DEDInteropContainer {
public:
    using Creation = std::function<std::shared_ptr<void>()>;

    static void registerInternalLibrary(const std::string& name, const std::string& version);
    // Library name -> version.
    static std::map<std::string, std::string> internalLibraries();

    // A later registration of the same protocol replaces the earlier one.
    static void registerComponent(const std::string& protocol, Creation creation);
    // Null when nothing offers the protocol. `T` must be the type the
    // creation block makes.
    template <class T>
    static std::shared_ptr<T> instanceForProtocol(const std::string& protocol) {
        return std::static_pointer_cast<T>(instanceForProtocolName(protocol));
    }
    static std::shared_ptr<void> instanceForProtocolName(const std::string& protocol);

    static void resetForTesting();
};

}  // namespace host
