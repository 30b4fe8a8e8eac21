#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/ui/Driver.h"

namespace app {

// One action of a script. The language, one action a line:
//
//   tap <accessibility identifier or title>
//   type <text>                 characters typed on the keypad
//   tab <title or index>
//   drawer open | drawer close
//   alert <action title>
//   row <section>.<row>         taps a row of the topmost table
//   delete <section>.<row>      deletes a row by swipe
//   move <section>.<row> <section>.<row>   drags a row to another place
//   scroll <identifier> <points>   scrolls a table, collection or scroll
//                               view to that offset (0 to 1000000)
//   wait <seconds>              0 to 3600, decimals allowed
//   open <url>                  the application is opened with a link, as
//                               when one is tapped on the phone
//   snapshot [name]
//   # comment                   blank lines are skipped too
//
// Words are separated by blanks; the argument is the rest of the line with
// surrounding blanks removed. `tap` and `alert` take "#name" for an
// accessibility identifier only, as snapshots write identifiers. A script
// holds at most kMaxScriptBytes, a line at most kMaxLineBytes.
struct ScriptAction {
    enum class Kind { tap, type, tab, drawer, alert, wait, snapshot, row, deleteRow, moveRow, scroll, open };
    Kind kind = Kind::tap;
    std::string argument;  // drawer: "open" or "close"; snapshot: the name (may be empty);
                           // scroll: the identifier
    ui::IndexPath row;     // row, delete, move (from)
    ui::IndexPath to;      // move
    double seconds = 0;    // wait
    double points = 0;     // scroll
    int line = 0;          // 1-based line number in the script
};

constexpr size_t kMaxScriptBytes = 1 << 20;
constexpr size_t kMaxLineBytes = 4096;

struct ScriptError {
    int line = 0;  // 0: not tied to a line
    std::string message;
    // The same reason as the person using the application reads it (in their
    // language, naming what they see), where the Driver refused the action.
    std::string refusal;
    // "line 3: unknown action \"tapp\"", fit for a terminal (see foundation::printable).
    std::string describe() const;
};

// Parses a whole script. Nothing runs unless every line is well formed, so a
// malformed script stops before the application touches the data root.
bool parseScript(const std::string& text, std::vector<ScriptAction>& actions, ScriptError* error);

// Plays parsed actions with a driver; snapshots go to `out` as
//   === snapshot <n>[: name] ===
//   <the snapshot text>
// An action that cannot be done, or that would do nothing, stops the play
// with an error naming its line.
class ScriptPlayer {
  public:
    explicit ScriptPlayer(ui::Driver& driver, std::ostream& out);
    // Asked before each action and during waits: once it answers true the
    // play stops with an error naming the line it stopped at.
    void setStopRequest(std::function<bool()> stopRequested) { stopRequested_ = std::move(stopRequested); }
    // Called after each snapshot is written to `out`, with its number and
    // name (the pages and pictures beside the text); false with a reason
    // stops the play.
    using SnapshotSink = std::function<bool(int number, const std::string& name, const std::string& text,
                                            std::string& why)>;
    void setSnapshotSink(SnapshotSink sink) { snapshotSink_ = std::move(sink); }
    // Opens a link in the running application; false with a reason stops
    // the play. Without one, "open" stops the play.
    using URLOpener = std::function<bool(const std::string& url, std::string& why)>;
    void setURLOpener(URLOpener opener) { urlOpener_ = std::move(opener); }
    bool play(const std::vector<ScriptAction>& actions, ScriptError* error);
    int snapshotsTaken() const { return snapshots_; }

  private:
    bool perform(const ScriptAction& action, std::string& why, std::string& refusal);
    bool stopRequested() const { return stopRequested_ && stopRequested_(); }
    ui::Driver& driver_;
    std::ostream& out_;
    std::function<bool()> stopRequested_;
    SnapshotSink snapshotSink_;
    URLOpener urlOpener_;
    int snapshots_ = 0;
};

}  // namespace app
