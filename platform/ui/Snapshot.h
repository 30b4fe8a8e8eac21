#pragma once

#include <string>

#include "platform/ui/Window.h"

namespace ui {

// A readable, stable text dump of what is on the screen, for golden tests and
// for the `calvaro` launcher. One line per thing shown, indented by two
// blanks per level; hidden views (and views at alpha 0) are left out with
// everything inside them; no coordinates, so layouts may move without
// changing the text. For example:
//
//   window 390x844 light
//     [AppNavigationDrawerController]
//       toolbar "Calculate Title"
//         icon-button [menu] #menuButton
//       tabs
//         tab "Input" selected
//         tab "Result" disabled
//       [CalculateViewController]
//         label "Fill in your given numbers:"
//         field #aTextField "2" focused error "..."
//         table
//           row 0.0
//             math "f(x) = \log_{2}(x)"
//     presented [AlertController] style=alert
//       alert "Privacy Policy" "..."
//         action "Accept"
//
// Controllers show as [ClassName] at their root view; views describe
// themselves through View::snapshotDescription.
class Snapshot {
  public:
    // The key window of the shared application ("no key window" without one),
    // then one line `opened "<url>"` per link the application opened.
    static std::string ofKeyWindow();
    static std::string ofWindow(const Window& window);
    // One view and its subtree, starting at indentation `level`.
    static std::string ofView(const View& view, int level = 0);
};

}  // namespace ui
