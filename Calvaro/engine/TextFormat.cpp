#include "Calvaro/engine/TextFormat.h"

std::string formatG(double value) { return stringWithFormat("%g", value); }

std::vector<std::string> splitDroppingEmpty(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}
