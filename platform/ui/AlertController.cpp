#include "platform/ui/AlertController.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>

#include "platform/dispatch/GlobalQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/ui/Button.h"
#include "platform/ui/Log.h"
#include "platform/ui/Traits.h"

namespace ui {
namespace {

class AlertView : public View {
  public:
    AlertView(const AlertController& alert) : alert_(alert) {}
    void layoutSubviews() override {
        const Rect panel = alert_.panelFrame();
        double y = panel.maxY() - AlertController::kActionHeight * static_cast<double>(subviews().size());
        for (const auto& button : subviews()) {
            button->setFrame(Rect(panel.x(), y, panel.width(), AlertController::kActionHeight));
            y += AlertController::kActionHeight;
        }
    }

    std::string snapshotDescription() const override {
        std::string line = alert_.preferredStyle() == AlertControllerStyle::alert ? "alert" : "action-sheet";
        if (alert_.alertTitle()) line += " " + quoted(*alert_.alertTitle());
        if (alert_.message()) line += " " + quoted(*alert_.message());
        return line;
    }

  private:
    const AlertController& alert_;
};

class ActionButton : public Button {
  public:
    explicit ActionButton(AlertActionStyle style) : style_(style) {}
    std::string snapshotDescription() const override {
        std::string line = Button::snapshotDescription();
        if (style_ == AlertActionStyle::cancel) line += " cancel";
        if (style_ == AlertActionStyle::destructive) line += " destructive";
        return line;
    }

  protected:
    std::string snapshotKind() const override { return "action"; }

  private:
    AlertActionStyle style_;
};

class ShareView : public View {
  public:
    explicit ShareView(size_t count) : count_(count) {}
    std::string snapshotDescription() const override {
        return "share-sheet " + std::to_string(count_) + (count_ == 1 ? " item" : " items");
    }

  private:
    size_t count_;
};

}  // namespace

AlertController::AlertController(std::optional<std::string> title, std::optional<std::string> message,
                                 AlertControllerStyle style)
    : alertTitle_(std::move(title)), message_(std::move(message)), style_(style) {}

std::shared_ptr<AlertController> AlertController::create(std::optional<std::string> title,
                                                         std::optional<std::string> message,
                                                         AlertControllerStyle style) {
    return std::make_shared<AlertController>(std::move(title), std::move(message), style);
}

static std::shared_ptr<Button> makeActionButton(AlertController& alert,
                                                const std::shared_ptr<AlertAction>& action) {
    auto button = std::make_shared<ActionButton>(action->style());
    button->setTitle(action->title());
    button->setEnabled(action->isEnabled());
    button->setAccessibilityIdentifier(action->accessibilityIdentifier());
    std::weak_ptr<ViewController> weakAlert = alert.weak_from_this();
    std::weak_ptr<AlertAction> weakAction = action;
    button->addTarget(ControlEvent::touchUpInside, [weakAlert, weakAction](Control&) {
        auto alive = std::static_pointer_cast<AlertController>(weakAlert.lock());
        auto chosen = weakAction.lock();
        if (alive && chosen) alive->choose(*chosen);
    });
    return button;
}

void AlertController::addAction(std::shared_ptr<AlertAction> action) {
    if (!action) return;
    actions_.push_back(action);
    if (isViewLoaded()) {
        view()->addSubview(makeActionButton(*this, action));
        view()->setNeedsLayout();
    }
}

Rect AlertController::panelFrame() const {
    const Rect screen = Screen::bounds();
    const double width = std::min(270.0, screen.width());
    // About 34 characters a line of the message at 13 points.
    const double messageLines = message_ ? std::ceil(static_cast<double>(message_->size()) / 34.0) : 0;
    const double height = 20 + (alertTitle_ ? 24 : 0) + messageLines * 18 + 16 +
                          kActionHeight * static_cast<double>(actions_.size());
    return Rect((screen.width() - width) / 2, std::max(0.0, (screen.height() - height) / 2), width, height);
}

bool AlertController::choose(const std::string& actionTitle) {
    for (const auto& action : actions_)
        if (action->title() == actionTitle && action->isEnabled()) return choose(*action);
    return false;
}

bool AlertController::choose(const AlertAction& chosen) {
    for (const auto& action : actions_) {
        if (action.get() != &chosen || !action->isEnabled()) continue;
        auto keepSelf = weak_from_this().lock();
        auto keepAction = action;
        // The alert goes away first; the handler may then present again.
        dismiss(true);
        if (keepAction->handler()) keepAction->handler()(*keepAction);
        return true;
    }
    return false;
}

void AlertController::loadView() {
    auto view = std::make_shared<AlertView>(*this);
    view->setFrame(Screen::bounds());
    setView(view);
    for (const auto& action : actions_) view->addSubview(makeActionButton(*this, action));
}

namespace {
foundation::SharedSlot<ActivityViewController::ImageSaver>& imageSaverSlot() {
    static foundation::SharedSlot<ActivityViewController::ImageSaver> slot;
    return slot;
}
}  // namespace

namespace {
std::atomic<bool> savesInBackground{false};
}  // namespace

void ActivityViewController::setSavesInBackground(bool background) { savesInBackground = background; }

void ActivityViewController::setImageSaver(ImageSaver saver) {
    imageSaverSlot().set(saver ? std::make_shared<ImageSaver>(std::move(saver)) : nullptr);
}

namespace {

// A text of the share sheet in the user's language (the table "ShareSheet";
// the English text is its own key), each "%@" filled by the next argument.
std::string sheetText(const std::string& english, const std::vector<std::string>& arguments = {}) {
    return foundation::Bundle::main().localizedFormat(english, "ShareSheet", arguments);
}

// What the sheet says of a saved picture: its file's name, never the folder
// of the machine it lies in; a failure's reason, which may name folders,
// goes to the log.
std::string savedText(bool saved, const std::string& where) {
    if (!saved) {
        log("the shared image was not saved: " + where);
        return sheetText("The image could not be saved");
    }
    return sheetText("Image saved: %@", {std::filesystem::path(where).filename().string()});
}

}  // namespace

void ActivityViewController::loadView() {
    auto view = std::make_shared<ShareView>(items_.size());
    view->setFrame(Screen::bounds());
    // A sheet of its own over the screen, not words drawn over its fields.
    view->setBackgroundColor(Color::secondarySystemBackground());
    itemTexts_.clear();
    savedPaths_.assign(items_.size(), "");
    double y = 80;
    const auto saver = imageSaverSlot().get();
    std::weak_ptr<ViewController> weakSelf = weak_from_this();
    for (size_t i = 0; i < items_.size(); ++i) {
        const Item& item = items_[i];
        bool saving = item.image && saver;
        std::string text = saving ? sheetText("The image is being saved…") : item.kind + ": " + item.description;
        if (saving && !savesInBackground) {
            std::string where;
            const bool saved = (*saver)(*item.image, where);
            text = savedText(saved, where);
            if (saved) savedPaths_[i] = where;
            saving = false;
        }
        itemTexts_.push_back(text);
        auto label = std::make_shared<Label>(Rect(16, y, Screen::bounds().width() - 32, 60));
        label->setNumberOfLines(0);
        label->setText(text);
        view->addSubview(label);
        y += 68;
        if (!saving) continue;
        // Making the picture takes seconds: it is made away from the main
        // thread, so the sheet (and the tap that asked for it) answers at once.
        std::weak_ptr<Label> weakLabel = label;
        dispatch::GlobalQueue::get(dispatch::Priority::High)
            ->async([saver, image = item.image, weakSelf, weakLabel, i] {
                std::string where;
                const bool saved = (*saver)(*image, where);
                dispatch::MainQueue::shared()->async([=] {
                    auto self = std::static_pointer_cast<ActivityViewController>(weakSelf.lock());
                    if (!self || i >= self->itemTexts_.size()) return;
                    self->itemTexts_[i] = savedText(saved, where);
                    if (saved) self->savedPaths_[i] = where;
                    if (auto shown = weakLabel.lock()) shown->setText(self->itemTexts_[i]);
                });
            });
    }
    auto close = std::make_shared<Button>();
    close->setFrame(Rect(16, y, 120, 44));
    close->setTitle(foundation::localizedString("Close"));
    close->addTarget(ControlEvent::touchUpInside, [weakSelf](Control&) {
        if (auto self = weakSelf.lock()) self->dismiss(true);
    });
    view->addSubview(close);
    setView(view);
}

}  // namespace ui
