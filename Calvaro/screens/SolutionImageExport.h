#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/ui/TableView.h"
#include "platform/web/ViewImage.h"

// The solution as one tall picture: snapshots of views and a walk over every
// row of a table (not only those on the screen), stacked top to bottom.

using ViewImagePointer = std::shared_ptr<const web::ViewImage>;

// The part `croppingRect` of the view (in its bounds coordinates, which for
// a scroll view start at its content offset), as the view shows it now.
ViewImagePointer screenshotForCroppingRect(ui::View& view, const ui::Rect& croppingRect);
// The whole view.
ViewImagePointer screenshot(ui::View& view);

// Pieces one below the other; no image for an empty list.
ViewImagePointer stackImages(const std::vector<ViewImagePointer>& images);

// Walks the table on the main queue: its header view, then per section the
// header (when `headerSections` is absent or holds it), every row scrolled to
// the top and snapped (a chart row once it has finished drawing, looked at
// every frame, and at the latest after chartRowDrawingTime), and the
// footer; each part's scroll offset is put back. `completion` gets the
// stacked picture, or none for a table with nothing in it.
void tableScreenshot(ui::TableView& table, std::optional<std::set<int64_t>> headerSections,
                     std::optional<std::set<int64_t>> footerSections,
                     std::function<void(ViewImagePointer)> completion);

// The longest a chart row is given to finish drawing before its snapshot.
inline constexpr double chartRowDrawingTime = 2.0;
// How often a chart row is looked at meanwhile: once a frame.
inline constexpr double chartRowFrameTime = 1.0 / 60;
// The shared picture's pixels a point.
inline constexpr double sharedImageScale = 3.0;

// The share sheet's saving of a picture: a PNG at sharedImageScale in the
// data root's "Shared" folder (0700, the file 0600), named after the time.
bool saveSharedImage(const ui::Image& image, std::string& where);
