#include "Calvaro/engine/KalFormulaSymbol.h"

#include <nlohmann/json.hpp>

#include "Calvaro/engine/JsonFields.h"
#include "Calvaro/engine/KalFormulaUnit.h"

std::optional<Symbol> Symbol::decode(std::string_view json, std::string* error) {
    auto parsed = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (parsed.is_discarded()) return jsonfields::fail(error, "the data is not valid JSON");
    jsonfields::Reader r(parsed, "symbol");
    Symbol s;
    bool ok = r.text("category", s.category) && r.text("subcategory", s.subcategory) &&
              r.text("topic", s.topic) && r.text("key", s.key) && r.text("latex", s.latex) &&
              r.text("name", s.name) && r.text("unit", s.unit) && r.optionalNumberMap("rules", s.rules);
    if (!ok) return jsonfields::fail(error, r.error());
    return s;
}

std::string Symbol::encode() const {
    nlohmann::ordered_json out;
    out["category"] = category;
    out["subcategory"] = subcategory;
    out["topic"] = topic;
    out["key"] = key;
    out["latex"] = latex;
    out["name"] = name;
    out["unit"] = unit;
    if (rules) out["rules"] = *rules;
    return out.dump();
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
