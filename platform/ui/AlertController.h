#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/ImageView.h"
#include "platform/ui/ViewController.h"

namespace ui {

class AlertController;

enum class AlertActionStyle { defaultStyle = 0, cancel = 1, destructive = 2 };
enum class AlertControllerStyle { actionSheet = 0, alert = 1 };

class AlertAction {
  public:
    using Handler = std::function<void(AlertAction&)>;
    AlertAction(std::string title, AlertActionStyle style, Handler handler = {})
        : title_(std::move(title)), style_(style), handler_(std::move(handler)) {}
    const std::string& title() const { return title_; }
    AlertActionStyle style() const { return style_; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    const Handler& handler() const { return handler_; }
    // What scripts and tests name the action by, whatever the language.
    const std::string& accessibilityIdentifier() const { return identifier_; }
    void setAccessibilityIdentifier(std::string identifier) { identifier_ = std::move(identifier); }

  private:
    std::string title_;
    std::string identifier_;
    AlertActionStyle style_;
    Handler handler_;
    bool enabled_ = true;
};

// An alert or action sheet. Choosing an action dismisses the alert and then
// runs the action's handler, as on the platform.
class AlertController : public ViewController {
  public:
    AlertController(std::optional<std::string> title, std::optional<std::string> message,
                    AlertControllerStyle style);
    static std::shared_ptr<AlertController> create(std::optional<std::string> title,
                                                   std::optional<std::string> message,
                                                   AlertControllerStyle style);
    const std::optional<std::string>& alertTitle() const { return alertTitle_; }
    const std::optional<std::string>& message() const { return message_; }
    AlertControllerStyle preferredStyle() const { return style_; }
    void addAction(std::shared_ptr<AlertAction> action);
    const std::vector<std::shared_ptr<AlertAction>>& actions() const { return actions_; }
    // The alert's panel on the screen: 270 points wide, centred, tall enough
    // for the title, the message and one 44-point row per action (the action
    // buttons are laid out in its lower part).
    Rect panelFrame() const;
    static constexpr double kActionHeight = 44.0;
    // The user's tap on an action (false: no enabled action of that title).
    bool choose(const std::string& actionTitle);
    // The same for one of this alert's actions.
    bool choose(const AlertAction& action);

    void loadView() override;

  private:
    std::optional<std::string> alertTitle_;
    std::optional<std::string> message_;
    AlertControllerStyle style_;
    std::vector<std::shared_ptr<AlertAction>> actions_;
};

// The share sheet: keeps its items; "Close" dismisses it. Where the
// platform's sheet hands an image to another application, this one gives it
// to the image saver the application set, which puts it where the user can
// reach it; the sheet then shows where (or why it could not).
class ActivityViewController : public ViewController {
  public:
    struct Item {
        std::string kind;  // "image", "text", "url"
        std::string description;
        std::shared_ptr<const Image> image;  // of "image" items
    };
    // True with the place written to `where`, false with the reason.
    using ImageSaver = std::function<bool(const Image& image, std::string& where)>;
    static void setImageSaver(ImageSaver saver);
    // Whether the saver works away from the main thread (the live page, whose
    // tap must be answered at once) or before the sheet shows (scripts, whose
    // snapshots then read where the picture went). Off by default.
    static void setSavesInBackground(bool background);

    explicit ActivityViewController(std::vector<Item> items) : items_(std::move(items)) {}
    const std::vector<Item>& activityItems() const { return items_; }
    // The text each item shows (after the view loaded; with saving in the
    // background an image's says it is being saved until the saver answers).
    const std::vector<std::string>& itemTexts() const { return itemTexts_; }
    // Where each item was saved; empty for one not saved (yet).
    const std::vector<std::string>& savedPaths() const { return savedPaths_; }
    void loadView() override;

  private:
    std::vector<Item> items_;
    std::vector<std::string> itemTexts_;
    std::vector<std::string> savedPaths_;
};

}  // namespace ui
