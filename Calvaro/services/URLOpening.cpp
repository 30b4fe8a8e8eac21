#include "Calvaro/services/URLOpening.h"

#include <cctype>

#include "platform/dispatch/MainQueue.h"
#include "platform/ui/Application.h"

namespace services {

bool isValidURL(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (size_t i = 1; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    for (unsigned char c : text)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}

bool isWebLink(const std::string& text) {
    static const std::string prefix = "https://";
    if (!isValidURL(text) || text.size() <= prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    const char afterSlashes = text[prefix.size()];
    return afterSlashes != '/' && afterSlashes != '?' && afterSlashes != '#';
}

void openURLOnMainQueue(const std::string& text) {
    if (!isWebLink(text)) return;
    dispatch::MainQueue::shared()->async([text] { ui::Application::shared().open(text); });
}

}  // namespace services
