#include "Calvaro/engine/KalFormula.h"

#include <nlohmann/json.hpp>

#include "Calvaro/engine/JsonFields.h"

std::optional<Formula> Formula::decode(std::string_view json, std::string* error) {
    auto parsed = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (parsed.is_discarded()) return jsonfields::fail(error, "the data is not valid JSON");
    jsonfields::Reader r(parsed, "formula");
    Formula f;
    bool ok = r.text("category", f.category) && r.text("subcategory", f.subcategory) &&
              r.text("topic", f.topic) && r.text("type", f.type) && r.text("imageName", f.imageName) &&
              r.text("searched", f.searched) && r.textList("given", f.given) && r.text("latex", f.latex) &&
              r.text("identifier", f.identifier) && r.optionalTextList("conditions", f.conditions) &&
              r.text("description", f.description);
    if (!ok) return jsonfields::fail(error, r.error());
    return f;
}

std::string Formula::encode() const {
    nlohmann::ordered_json out;
    out["category"] = category;
    out["subcategory"] = subcategory;
    out["topic"] = topic;
    out["type"] = type;
    out["imageName"] = imageName;
    out["searched"] = searched;
    out["given"] = given;
    out["latex"] = latex;
    out["identifier"] = identifier;
    if (conditions) out["conditions"] = *conditions;
    out["description"] = description;
    return out.dump();
}
