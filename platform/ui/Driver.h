#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Application.h"
#include "platform/ui/TableView.h"

namespace ui {

class Button;
class TextField;

// Plays the user's touches on the key window, headlessly. Every action works
// on what the user can reach: the topmost presented controller's view (or the
// window when nothing is presented), hidden views excluded; then it lets the
// main queue run what is due, so queued presentations show up. An action that
// cannot be done returns false and leaves the reason in lastError().
class Driver {
  public:
    explicit Driver(Application& application = Application::shared());

    // Taps, in this order of search: a control whose accessibility identifier
    // is `target`; a button, tab, segment or alert action titled `target`;
    // a text field whose placeholder is `target`; a table row showing a label
    // with the text `target`. A text field becomes first responder with the
    // caret at the end of its text.
    bool tap(const std::string& target);
    // Types each character: through a visible button titled with it (the
    // application's keypad) when there is one, else into the first-responder
    // text field.
    bool type(const std::string& text);
    // Chooses a tab by its title or by its index (decimal digits).
    bool chooseTab(const std::string& titleOrIndex);
    bool openDrawer();
    bool closeDrawer();
    // Answers the topmost alert by an action title.
    bool answerAlert(const std::string& actionTitle);
    // Rows of the topmost reachable table.
    bool selectRow(const IndexPath& indexPath);
    bool deleteRow(const IndexPath& indexPath);
    bool moveRow(const IndexPath& from, const IndexPath& to);
    // Lets `seconds` pass: virtual time under a dispatch::ManualExecutor,
    // otherwise real time while the main queue is pumped.
    void wait(double seconds);
    // Runs what is due on the main queue now (and, under a manual executor,
    // everything due on every queue).
    void settle();

    const std::string& lastError() const { return lastError_; }

    // What the driver can reach now (the topmost presented view or the window).
    View* scope() const;

  private:
    bool fail(std::string message);
    Application& application_;
    std::string lastError_;
};

}  // namespace ui
