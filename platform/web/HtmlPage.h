#pragma once

#include <string>

#include "platform/chart/ChartView.h"
#include "platform/ui/View.h"
#include "platform/ui/Window.h"

namespace web {

// Where a page finds KaTeX: Debian's libjs-katex, read from the disk by a
// page written to a file, or served under /katex by `calvaro serve`.
inline constexpr const char* kKatexFolder = "/usr/share/javascript/katex";

struct PageOptions {
    // The folder (or URL prefix) holding katex.min.js, katex.min.css and fonts/.
    std::string katexBase = std::string("file://") + kKatexFolder;
    // The folder (or URL prefix) holding the chart library's chart.min.js.
    std::string chartBase = std::string("file://") + chart::kChartLibraryFolder;
    // A live page reports clicks to the server (POST /action) and reloads.
    bool live = false;
    // The token a live page sends with each action (header X-Calvaro-Token).
    std::string actionToken;
    // The server's secret, which a live page sends with each of its requests
    // (header X-Calvaro-Secret).
    std::string secret;
    // Where a live page finds the pictures the share sheet saved.
    std::string sharedBase = "/shared";
    std::string title = "Calvaro";
};

// The view tree as one HTML document: every shown view is an absolutely
// placed element at its frame in points (CSS pixels), carrying its look
// (background, corner radius, border, alpha); labels, buttons, fields,
// segments, images and LaTeX are drawn by kind. Tables and collections are
// scrollable boxes holding every row, not only the rows on the screen.
// Formulas are typeset in the page by KaTeX from exactly the LaTeX the label
// holds; one KaTeX refuses shows as red source and is marked
// data-katex-error. Charts are drawn in the page by the chart library from
// their option JSON (element .chart, data-options). Each element carries data-frame="x y w h", its frame in
// window points as the view tree has it, so the page can be checked against
// the tree.
class HtmlPage {
  public:
    static std::string ofWindow(ui::Window& window, const PageOptions& options = {});
    // The part `rect` (in the view's own coordinates) of a view and its
    // subviews, as one element of the rectangle's size placed at (0, 0):
    // a piece of a picture.
    static std::string fragmentOfView(ui::View& view, const ui::Rect& rect);
    // A page whose screen of `size` points holds `screenHtml` (fragments
    // placed by the caller).
    static std::string ofScreen(const std::string& screenHtml, ui::Size size, const PageOptions& options = {});
    // A page of formulas alone, one a row (each element .formula with
    // data-index), for checking LaTeX in a browser.
    static std::string ofFormulas(const std::vector<std::string>& latex, const PageOptions& options = {});
};

// Text fit for HTML element content and attribute values.
std::string escapeHtml(const std::string& text);

}  // namespace web
