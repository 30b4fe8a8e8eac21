#pragma once

#include <string>

// The localized texts that more than one place shows. Each is looked up once,
// on first read, in the bundle's main string table; a key without an entry
// reads as the key itself. A change of the device language therefore takes
// effect at the next start.
class LocalizedString {
public:
    LocalizedString() = delete;

    static const std::string& fillInYourGivenNumbers();
    static const std::string& yourInput();
    static const std::string& expand();
    static const std::string& modifiedInput();
    static const std::string& step();
    static const std::string& recommendedVideoIfUnclear();
    static const std::string& touchToUnlock();
    static const std::string& calculateVerb();
    static const std::string& cancel();
    static const std::string& rate();
    static const std::string& send();
    static const std::string& close();
    static const std::string& thanks();
    static const std::string& error();
    static const std::string& cancelMath();
    static const std::string& domainOfDefinition();
    static const std::string& rangeOfValues();
    static const std::string& zero();
    static const std::string& asymptote();
    static const std::string& inverseFunction();
};
