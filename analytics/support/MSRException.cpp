#include "analytics/support/MSRException.h"

#include <utility>

MSRException::MSRException(std::string name, std::string reason,
                           std::vector<std::string> callStackSymbols)
    : name_(std::move(name)), reason_(std::move(reason)),
      callStackSymbols_(std::move(callStackSymbols)) {}
