#include "app/ScriptPlayer.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

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

bool parseSeconds(const std::string& text, double& seconds) {
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
    seconds = std::strtod(text.c_str(), nullptr);
    return std::isfinite(seconds) && seconds <= 3600.0;
}

}  // namespace

std::string ScriptError::describe() const {
    return line > 0 ? "line " + std::to_string(line) + ": " + message : message;
}

bool parseScript(const std::string& text, std::vector<ScriptAction>& actions, ScriptError* error) {
    auto failAt = [&](int line, std::string message) {
        if (error) *error = ScriptError{line, std::move(message)};
        return false;
    };
    actions.clear();
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
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
        } else if (word == "snapshot") {
            action.kind = ScriptAction::Kind::snapshot;
        } else {
            return failAt(number, "unknown action \"" + word + "\"");
        }
        actions.push_back(std::move(action));
    }
    return true;
}

ScriptPlayer::ScriptPlayer(ui::Driver& driver, std::ostream& out) : driver_(driver), out_(out) {}

bool ScriptPlayer::perform(const ScriptAction& action, std::string& why) {
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
        case ScriptAction::Kind::wait:
            driver_.wait(action.seconds);
            break;
        case ScriptAction::Kind::snapshot: {
            driver_.settle();
            ++snapshots_;
            out_ << "=== snapshot " << snapshots_;
            if (!action.argument.empty()) out_ << ": " << action.argument;
            out_ << " ===\n" << ui::Snapshot::ofKeyWindow();
            out_.flush();
            break;
        }
    }
    if (!ok) why = driver_.lastError();
    return ok;
}

bool ScriptPlayer::play(const std::vector<ScriptAction>& actions, ScriptError* error) {
    for (const auto& action : actions) {
        std::string why;
        if (!perform(action, why)) {
            if (error) *error = ScriptError{action.line, why};
            return false;
        }
    }
    return true;
}

}  // namespace app
