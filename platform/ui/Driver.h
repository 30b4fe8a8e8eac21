#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Application.h"
#include "platform/ui/TableView.h"

namespace ui {

class Button;
class TextField;

// The string table of the reasons told to the person when an action is
// refused, in their language; the English text is its own key.
inline constexpr char kRefusalsTable[] = "Refusals";

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
    // with the text `target`. "#name" looks for the identifier "name" only,
    // as snapshots write identifiers. A text field becomes first responder
    // with the caret at the end of its text; a control that would do nothing
    // (no action for a tap) is refused.
    bool tap(const std::string& target);
    // Types each character into the first-responder text field: through a
    // visible button titled with it (the application's keypad) when there is
    // one, else straight into the field. Refused when no field is being
    // edited.
    bool type(const std::string& text);
    // Scrolls the scroll view (table, collection) with the accessibility
    // identifier `identifier` ("#name" or "name") so that its content
    // begins `points` in (downwards, or sideways for a view that scrolls
    // sideways), held within its content. What the live page sends when
    // its user scrolls, so that rows brought into view can be tapped.
    bool scroll(const std::string& identifier, double points);
    // Chooses a tab by its title or by its index (decimal digits).
    bool chooseTab(const std::string& titleOrIndex);
    bool openDrawer();
    bool closeDrawer();
    // Answers the topmost alert by an action's identifier (with or without
    // "#") or title.
    bool answerAlert(const std::string& action);
    // Rows of the topmost reachable table.
    bool selectRow(const IndexPath& indexPath);
    bool deleteRow(const IndexPath& indexPath);
    bool moveRow(const IndexPath& from, const IndexPath& to);
    // Lets `seconds` pass: virtual time under a dispatch::ManualExecutor,
    // otherwise real time while the main queue is pumped. With `interrupted`,
    // real time ends early once it answers true after a main-queue block.
    void wait(double seconds, const std::function<bool()>& interrupted = {});
    // Runs what is due on the main queue now (and, under a manual executor,
    // everything due on every queue).
    void settle();

    const std::string& lastError() const { return lastError_; }
    // The same reason told to the person using the application (the live
    // page): in the bundle's language, naming what they see by its title,
    // never an identifier of code or a class.
    const std::string& lastRefusal() const { return lastRefusal_; }

    // What the driver can reach now (the topmost presented view or the window).
    View* scope() const;

  private:
    // Fails with `format` ("%@" for each argument) as the script's reason and
    // its text in the refusals' table as the person's, each followed by what
    // covers the screen when `covered`; `shownArguments` are the names the
    // person sees, where they differ from the script's.
    bool fail(const std::string& format, const std::vector<std::string>& arguments = {}, bool covered = false);
    bool fail(const std::string& format, const std::vector<std::string>& arguments,
              const std::vector<std::string>& shownArguments, bool covered = false);
    bool failDisabled(const std::string& format, const std::string& target, const std::string& shown,
                      const std::string& hint);
    bool moveDrawer(bool open);
    // Runs a user's row action on the screen's table and lets the screen
    // settle; `refusal` is the error when the table refuses the action.
    bool onTable(const std::string& refusal, const std::function<bool(TableView&)>& action);
    // ": the alert \"title\" covers the screen" when something is presented
    // over the window's root, else "".
    std::string coveredBy() const;
    // The same for the person: what covers the screen without naming a class.
    std::string coveredForPerson() const;
    Application& application_;
    std::string lastError_;
    std::string lastRefusal_;
};

}  // namespace ui
