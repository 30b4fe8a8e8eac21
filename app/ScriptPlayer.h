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
//   wait <seconds>              0 to 3600, decimals allowed
//   snapshot [name]
//   # comment                   blank lines are skipped too
//
// Words are separated by blanks; the argument is the rest of the line with
// surrounding blanks removed.
struct ScriptAction {
    enum class Kind { tap, type, tab, drawer, alert, wait, snapshot };
    Kind kind = Kind::tap;
    std::string argument;  // drawer: "open" or "close"; snapshot: the name (may be empty)
    double seconds = 0;    // wait
    int line = 0;          // 1-based line number in the script
};

struct ScriptError {
    int line = 0;  // 0: not tied to a line
    std::string message;
    // "line 3: unknown action \"tapp\"".
    std::string describe() const;
};

// Parses a whole script. Nothing runs unless every line is well formed, so a
// malformed script stops before the application touches the data root.
bool parseScript(const std::string& text, std::vector<ScriptAction>& actions, ScriptError* error);

// Plays parsed actions with a driver; snapshots go to `out` as
//   === snapshot <n>[: name] ===
//   <the snapshot text>
// An action that cannot be done stops the play with an error naming its line.
class ScriptPlayer {
  public:
    explicit ScriptPlayer(ui::Driver& driver, std::ostream& out);
    bool play(const std::vector<ScriptAction>& actions, ScriptError* error);
    int snapshotsTaken() const { return snapshots_; }

  private:
    bool perform(const ScriptAction& action, std::string& why);
    ui::Driver& driver_;
    std::ostream& out_;
    int snapshots_ = 0;
};

}  // namespace app
