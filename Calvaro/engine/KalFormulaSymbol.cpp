#include "Calvaro/engine/KalFormulaSymbol.h"

#include "Calvaro/engine/JsonFields.h"
#include "Calvaro/engine/KalFormulaUnit.h"

namespace {

constexpr auto symbolFields = [](auto& s, auto& fields) {
    return fields.text("category", s.category) && fields.text("subcategory", s.subcategory) &&
           fields.text("topic", s.topic) && fields.text("key", s.key) && fields.text("latex", s.latex) &&
           fields.text("name", s.name) && fields.text("unit", s.unit) &&
           fields.optionalNumberMap("rules", s.rules);
};

}  // namespace

std::optional<Symbol> Symbol::decode(std::string_view json, std::string* error) {
    return jsonfields::decode<Symbol>(json, "symbol", error, symbolFields);
}

std::string Symbol::encode() const {
    return jsonfields::encode(*this, symbolFields);
}

KalFormulaSymbol& KalFormulaSymbol::shared() {
    static KalFormulaSymbol instance;
    return instance;
}

std::optional<Symbol> KalFormulaSymbol::findSymbol(const std::string& subcategory, const std::string& topic,
                                                   const std::string& key) const {
    for (const Symbol& symbol : symbols) {
        if (symbol.subcategory == subcategory && symbol.topic == topic && symbol.key == key) return symbol;
    }
    return std::nullopt;
}

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
}

}  // namespace

std::vector<Symbol> KalFormulaSymbol::resolveFormatLines(std::vector<std::string>& formatLines,
                                                         const std::string& subcategory,
                                                         const std::string& topic) const {
    std::vector<Symbol> found;
    for (std::string& line : formatLines) {
        // The first non-empty part before, between or after the "=" signs.
        std::string firstPart;
        size_t start = 0;
        while (start <= line.size()) {
            size_t end = line.find('=', start);
            if (end == std::string::npos) end = line.size();
            if (end > start) {
                firstPart = line.substr(start, end - start);
                break;
            }
            start = end + 1;
        }
        if (firstPart.empty()) break;
        std::string key;
        for (char c : firstPart) {
            if (c != ' ') key += c;
        }
        auto symbol = findSymbol(subcategory, topic, key);
        if (!symbol) break;
        replaceAll(line, key, symbol->latex);
        found.push_back(std::move(*symbol));
    }
    return found;
}

std::string unitLatex(const Symbol& symbol) {
    return KalFormulaUnit::shared().replaceDefaultUnit(symbol.unit, false);
}
