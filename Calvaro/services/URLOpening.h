#pragma once

#include <string>

namespace services {

// Whether `text` is a URL the platform would make: a scheme, a colon and
// a remainder without blanks or control characters.
bool isValidURL(const std::string& text);

// Queues on the main queue the opening of `text` by the shared application;
// a text that is no URL does nothing.
void openURLOnMainQueue(const std::string& text);

}  // namespace services
