#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/ImageView.h"
#include "platform/web/HtmlPage.h"

namespace web {

// A picture of views: the page's drawing of them, kept as HTML pieces placed
// one below the other, and made a PNG by headless Chromium when it is saved.
// Its size is in points; the PNG has `scale` pixels a point.
class ViewImage : public ui::Image {
  public:
    // The longest side a PNG may have, in pixels: a taller picture is drawn
    // at the scale that fits (never tiled), so a long solution stays one image.
    static constexpr double kMaxPixels = 16384;

    ViewImage(std::string html, ui::Size size);
    // The part `rect` of `view` (in its own coordinates), as the view shows it now.
    static std::shared_ptr<ViewImage> ofView(ui::View& view, const ui::Rect& rect);
    // A transparent picture of `size`.
    static std::shared_ptr<ViewImage> blank(ui::Size size);
    // The pictures one below the other at x = 0, as wide as the widest
    // (narrower ones leave the rest of their band transparent); null for
    // an empty list.
    static std::shared_ptr<ViewImage> stacked(const std::vector<std::shared_ptr<const ViewImage>>& images);

    const std::string& html() const { return html_; }
    // The picture as a page of its size.
    std::string page(const PageOptions& options = {}) const;
    // The scale the PNG gets when `scale` is asked for: lowered so that no
    // side exceeds kMaxPixels.
    double pixelScale(double scale) const;
    // Writes the PNG (0600, through a page in a folder of its own beside
    // it, removed afterwards); refuses to replace anything at `png`.
    bool writePng(const std::filesystem::path& png, double scale, std::string& error) const;

  private:
    std::string html_;
};

}  // namespace web
