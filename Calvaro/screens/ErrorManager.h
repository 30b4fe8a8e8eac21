#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/ui/TextField.h"

// Looks after the Calculate screen's input fields and reports input errors:
// locks the empty fields once enough are filled, and for a failed
// calculation logs the error, marks the faulty fields and shows the
// localized message. Main thread only.
//
// What the manager shows and logs through is installed by the screens'
// start-up (see Outlets), so that tests can put their own in its place;
// without them nothing is shown or logged.
class ErrorManager {
public:
    // Separates the key of an error text from its arguments.
    static constexpr const char* errorTextSeparator = "\xC2\xA7";  // U+00A7 SECTION SIGN

    struct Outlets {
        std::function<void(const std::string& name, const foundation::Value::Dictionary& parameters)> logEvent;
        std::function<void(const std::string& message)> showToast;
        // On the key window's root controller; without one nothing is shown.
        std::function<void(const std::string& title, const std::string& message)> showAlert;
    };

    static ErrorManager& shared();
    static void setOutlets(Outlets outlets);

    const std::vector<std::shared_ptr<ui::TextField>>& allFields() const { return allFields_; }
    void setAllFields(std::vector<std::shared_ptr<ui::TextField>> fields) { allFields_ = std::move(fields); }
    int64_t requiredAmountOfFields() const { return requiredAmountOfFields_; }
    void setRequiredAmountOfFields(int64_t amount) { requiredAmountOfFields_ = amount; }

    // Enables the visible fields and, once at least requiredAmountOfFields
    // of them are filled, disables the empty ones. Off below 1.
    void updateFieldStates();
    // Logs "kal_got_error", marks `faultyFields` (orange for
    // "notEnoughInputValues", red otherwise) and shows the message.
    void reportInputError(const std::string& errorText, const std::vector<std::shared_ptr<ui::TextField>>& faultyFields);
    // The alert of "oppositionError", otherwise a toast of the localized key
    // with its limits filled in; nothing when the pieces do not fit the key.
    void showErrorMessage(const std::string& errorText);

    // The pieces of an error text, empty ones dropped.
    static std::vector<std::string> splitErrorText(const std::string& errorText);
    // The toast text of an error text, or none when nothing is shown (no
    // pieces, the alert key, or limits that do not fit a "mustBe" key).
    static std::optional<std::string> toastMessage(const std::string& errorText);

private:
    std::vector<std::shared_ptr<ui::TextField>> allFields_;
    int64_t requiredAmountOfFields_ = 0;
};
