#include "Calvaro/engine/KalFormula.h"

#include "Calvaro/engine/JsonFields.h"

namespace {

constexpr auto formulaFields = [](auto& f, auto& fields) {
    return fields.text("category", f.category) && fields.text("subcategory", f.subcategory) &&
           fields.text("topic", f.topic) && fields.text("type", f.type) &&
           fields.text("imageName", f.imageName) && fields.text("searched", f.searched) &&
           fields.textList("given", f.given) && fields.text("latex", f.latex) &&
           fields.text("identifier", f.identifier) && fields.optionalTextList("conditions", f.conditions) &&
           fields.text("description", f.description);
};

}  // namespace

std::optional<Formula> Formula::decode(std::string_view json, std::string* error) {
    return jsonfields::decode<Formula>(json, "formula", error, formulaFields);
}

std::string Formula::encode() const {
    return jsonfields::encode(*this, formulaFields);
}
