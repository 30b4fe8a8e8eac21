#pragma once

#include <functional>
#include <optional>
#include <string>

namespace host {

// Answers whether an optional class is part of the program, as the phone OS
// answers by looking a class up by name. A class may carry an entry point
// (its one-time initialisation, for instance) that callers can run.
class DEDClassRegistry {
public:
    using Entry = std::function<void()>;

    static void registerClass(const std::string& name, Entry entry = nullptr);
    static void unregisterClass(const std::string& name);
    static bool isClassPresent(const std::string& name);
    // The entry of a present class that has one.
    static std::optional<Entry> entryForClass(const std::string& name);

    static void resetForTesting();
};

}  // namespace host
