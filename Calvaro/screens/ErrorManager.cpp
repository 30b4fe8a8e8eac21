#include "Calvaro/screens/ErrorManager.h"

#include <cstdio>

#include "Calvaro/engine/LocalizedString.h"
#include "platform/foundation/Bundle.h"

namespace {

ErrorManager::Outlets& outlets() {
    static ErrorManager::Outlets instance;
    return instance;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

ErrorManager& ErrorManager::shared() {
    static ErrorManager instance;
    return instance;
}

void ErrorManager::setOutlets(Outlets newOutlets) { outlets() = std::move(newOutlets); }

void ErrorManager::updateFieldStates() {
    if (requiredAmountOfFields_ < 1) return;
    int64_t filled = 0;
    std::vector<ui::TextField*> empty;
    for (const auto& field : allFields_) {
        // Fields of a hidden row take no part.
        if (!field->superview() || field->superview()->isHidden()) continue;
        field->setEnabled(true);
        field->layer().backgroundColor = ui::Color::systemBackground();
        if (!field->text().empty())
            ++filled;
        else
            empty.push_back(field.get());
    }
    if (filled < requiredAmountOfFields_) return;
    for (ui::TextField* field : empty) {
        field->setEnabled(false);
        field->layer().backgroundColor = ui::Color::systemFill();
    }
}

void ErrorManager::reportInputError(const std::string& errorText,
                                    const std::vector<std::shared_ptr<ui::TextField>>& faultyFields) {
    if (outlets().logEvent) outlets().logEvent("kal_got_error", {{"error_case", foundation::Value(errorText)}});
    const bool notEnough = errorText == "notEnoughInputValues";
    if (notEnough)
        std::fprintf(stderr, "INPUT: NOT ENOUGH INPUT VALUES\n");
    else
        std::fprintf(stderr, "INPUT ERROR: %s\n", errorText.c_str());
    for (const auto& field : faultyFields) field->setBorderColor(notEnough ? ui::Color::orange() : ui::Color::red());
    showErrorMessage(errorText);
}

std::vector<std::string> ErrorManager::splitErrorText(const std::string& errorText) {
    std::vector<std::string> pieces;
    const std::string separator = errorTextSeparator;
    size_t start = 0;
    while (start <= errorText.size()) {
        size_t end = errorText.find(separator, start);
        if (end == std::string::npos) end = errorText.size();
        if (end > start) pieces.push_back(errorText.substr(start, end - start));
        start = end + separator.size();
    }
    return pieces;
}

std::optional<std::string> ErrorManager::toastMessage(const std::string& errorText) {
    const std::vector<std::string> pieces = splitErrorText(errorText);
    if (pieces.empty() || pieces[0] == "oppositionError") return std::nullopt;
    const std::string& key = pieces[0];
    size_t wanted = key == "mustBeBiggerThanXAndLessThanY"                     ? 3
                    : key == "mustBeGreatherThanX" || key == "mustBeLessThanX" ? 2
                                                                               : 0;
    if (wanted != 0 && pieces.size() != wanted) return std::nullopt;
    std::string message = foundation::localizedString(key);
    if (wanted >= 2) replaceAll(message, "%0", pieces[1]);
    if (wanted == 3) replaceAll(message, "%1", pieces[2]);
    return message;
}

void ErrorManager::showErrorMessage(const std::string& errorText) {
    const std::vector<std::string> pieces = splitErrorText(errorText);
    if (pieces.empty()) return;
    if (pieces[0] == "oppositionError") {
        if (outlets().showAlert)
            outlets().showAlert(LocalizedString::error(), foundation::localizedString("oppositionError"));
        return;
    }
    if (auto message = toastMessage(errorText); message && outlets().showToast) outlets().showToast(*message);
}
