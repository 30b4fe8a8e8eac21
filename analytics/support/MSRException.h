#pragma once

#include <exception>
#include <string>
#include <vector>

// The engine's own exception: a name, a reason and, when the thrower has them,
// the call-stack symbols of the throw site. The scheduler catches it around
// every block of the worker queue and the monitor reports it by the last engine
// symbol of its stack.
class MSRException : public std::exception {
public:
    MSRException(std::string name, std::string reason,
                 std::vector<std::string> callStackSymbols = {});

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const std::vector<std::string>& callStackSymbols() const { return callStackSymbols_; }

    // The reason, as the platform's exceptions describe themselves.
    std::string description() const { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    std::string name_;
    std::string reason_;
    std::vector<std::string> callStackSymbols_;
};
