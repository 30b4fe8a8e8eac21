#pragma once

#include <string>

namespace services {

// Whether `text` is a URL the platform would make: a scheme, a colon and
// a remainder without blanks or control characters.
bool isValidURL(const std::string& text);

// Whether `text` is a web page (store pages included) that a link from
// remote data may open: a valid URL of the https scheme with a host.
bool isWebLink(const std::string& text);

// Queues on the main queue the opening of `text` by the shared application;
// anything but a web link does nothing, since the text comes from remote
// data and must not start other applications or read local files.
void openURLOnMainQueue(const std::string& text);

}  // namespace services
