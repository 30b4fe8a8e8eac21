#include "app/ScriptPlayer.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "platform/foundation/Text.h"
#include "platform/ui/Snapshot.h"

namespace app {
namespace {

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\f\v";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// A plain decimal number (no sign, exponent, hex or "inf") of at most `limit`.
bool parsePlainNumber(const std::string& text, double limit, double& value) {
    if (text.empty()) return false;
    // Plain decimal numbers only: no signs, exponents, hex or "inf".
    int dots = 0;
    for (char c : text) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    if (dots > 1 || text == ".") return false;
    value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(value) && value <= limit;
}

bool parseSeconds(const std::string& text, double& seconds) { return parsePlainNumber(text, 3600.0, seconds); }

}  // namespace

std::string ScriptError::describe() const {
    return foundation::printable(line > 0 ? "line " + std::to_string(line) + ": " + message : message);
}

// "<section>.<row>", both plain decimal numbers of at most nine digits.
static bool parseIndexPath(const std::string& text, ui::IndexPath& path) {
    const size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 9 || text.size() - dot - 1 > 9 || dot + 1 == text.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != dot && !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    path.section = std::stoll(text.substr(0, dot));
    path.row = std::stoll(text.substr(dot + 1));
    return true;
}

bool parseScript(const std::string& text, std::vector<ScriptAction>& actions, ScriptError* error) {
    auto failAt = [&](int line, std::string message) {
        if (error) *error = ScriptError{line, std::move(message), {}};
        return false;
    };
    actions.clear();
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    if (text.size() > kMaxScriptBytes)
        return failAt(0, "the script is larger than " + std::to_string(kMaxScriptBytes) + " bytes");
    while (std::getline(in, raw)) {
        ++number;
        if (raw.size() > kMaxLineBytes)
            return failAt(number, "the line is longer than " + std::to_string(kMaxLineBytes) + " bytes");
        if (raw.find('\0') != std::string::npos) return failAt(number, "the line holds a NUL character");
        std::string lineText = trim(raw);
        if (lineText.empty() || lineText[0] == '#') continue;
        auto blank = lineText.find_first_of(" \t");
        std::string word = lineText.substr(0, blank);
        std::string argument = blank == std::string::npos ? "" : trim(lineText.substr(blank));
        ScriptAction action;
        action.line = number;
        action.argument = argument;
        if (word == "tap" || word == "type" || word == "tab" || word == "alert") {
            if (argument.empty()) return failAt(number, "\"" + word + "\" needs an argument");
            action.kind = word == "tap"    ? ScriptAction::Kind::tap
                          : word == "type" ? ScriptAction::Kind::type
                          : word == "tab"  ? ScriptAction::Kind::tab
                                           : ScriptAction::Kind::alert;
        } else if (word == "drawer") {
            if (argument != "open" && argument != "close")
                return failAt(number, "\"drawer\" takes \"open\" or \"close\", not \"" + argument + "\"");
            action.kind = ScriptAction::Kind::drawer;
        } else if (word == "wait") {
            if (!parseSeconds(argument, action.seconds))
                return failAt(number,
                              "\"wait\" takes a number of seconds from 0 to 3600, not \"" + argument + "\"");
            action.kind = ScriptAction::Kind::wait;
        } else if (word == "scroll") {
            const size_t gap = argument.find_first_of(" \t");
            const std::string points = gap == std::string::npos ? "" : trim(argument.substr(gap));
            if (gap == std::string::npos || !parsePlainNumber(points, 1e6, action.points))
                return failAt(number, "\"scroll\" takes an identifier and a number of points from 0 to 1000000, not \"" +
                                          argument + "\"");
            action.argument = argument.substr(0, gap);
            action.kind = ScriptAction::Kind::scroll;
        } else if (word == "open") {
            if (argument.empty() || argument.find_first_of(" \t") != std::string::npos ||
                argument.find(':') == std::string::npos)
                return failAt(number, "\"open\" takes one URL, not \"" + argument + "\"");
            action.kind = ScriptAction::Kind::open;
        } else if (word == "snapshot") {
            action.kind = ScriptAction::Kind::snapshot;
        } else if (word == "row" || word == "delete") {
            if (!parseIndexPath(argument, action.row))
                return failAt(number, "\"" + word + "\" takes a row as <section>.<row>, not \"" + argument + "\"");
            action.kind = word == "row" ? ScriptAction::Kind::row : ScriptAction::Kind::deleteRow;
        } else if (word == "move") {
            const size_t blank = argument.find_first_of(" \t");
            if (blank == std::string::npos || !parseIndexPath(argument.substr(0, blank), action.row) ||
                !parseIndexPath(trim(argument.substr(blank)), action.to))
                return failAt(number, "\"move\" takes two rows as <section>.<row>, not \"" + argument + "\"");
            action.kind = ScriptAction::Kind::moveRow;
        } else {
            return failAt(number, "unknown action \"" + word + "\"");
        }
        actions.push_back(std::move(action));
    }
    return true;
}

ScriptPlayer::ScriptPlayer(ui::Driver& driver, std::ostream& out) : driver_(driver), out_(out) {}

bool ScriptPlayer::perform(const ScriptAction& action, std::string& why, std::string& refusal) {
    bool ok = true;
    switch (action.kind) {
        case ScriptAction::Kind::tap:
            ok = driver_.tap(action.argument);
            break;
        case ScriptAction::Kind::type:
            ok = driver_.type(action.argument);
            break;
        case ScriptAction::Kind::tab:
            ok = driver_.chooseTab(action.argument);
            break;
        case ScriptAction::Kind::drawer:
            ok = action.argument == "open" ? driver_.openDrawer() : driver_.closeDrawer();
            break;
        case ScriptAction::Kind::alert:
            ok = driver_.answerAlert(action.argument);
            break;
        case ScriptAction::Kind::row:
            ok = driver_.selectRow(action.row);
            break;
        case ScriptAction::Kind::deleteRow:
            ok = driver_.deleteRow(action.row);
            break;
        case ScriptAction::Kind::moveRow:
            ok = driver_.moveRow(action.row, action.to);
            break;
        case ScriptAction::Kind::scroll:
            ok = driver_.scroll(action.argument, action.points);
            break;
        case ScriptAction::Kind::wait:
            driver_.wait(action.seconds, [this] { return stopRequested(); });
            break;
        case ScriptAction::Kind::open:
            if (!urlOpener_) {
                why = "links cannot be opened here";
                ok = false;
            } else {
                ok = urlOpener_(action.argument, why);
                driver_.settle();
            }
            break;
        case ScriptAction::Kind::snapshot: {
            driver_.settle();
            ++snapshots_;
            out_ << "=== snapshot " << snapshots_;
            if (!action.argument.empty()) out_ << ": " << action.argument;
            const std::string text = ui::Snapshot::ofKeyWindow();
            out_ << " ===\n" << text;
            out_.flush();
            if (snapshotSink_) ok = snapshotSink_(snapshots_, action.argument, text, why);
            break;
        }
    }
    if (!ok && why.empty()) {
        why = driver_.lastError();
        refusal = driver_.lastRefusal();
    }
    return ok;
}

bool ScriptPlayer::play(const std::vector<ScriptAction>& actions, ScriptError* error) {
    for (const auto& action : actions) {
        std::string why, refusal;
        if (stopRequested()) why = "stopped before this line: the process was asked to end";
        if (why.empty() && !perform(action, why, refusal) && why.empty()) why = "the action failed";
        if (why.empty() && stopRequested() && action.kind == ScriptAction::Kind::wait)
            why = "stopped during the wait: the process was asked to end";
        if (!why.empty()) {
            if (error) *error = ScriptError{action.line, why, refusal};
            return false;
        }
    }
    return true;
}

}  // namespace app
