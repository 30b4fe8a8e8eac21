#include "platform/web/ViewImage.h"

#include <algorithm>
#include <cmath>
#include <fstream>

#include "platform/graphics/Path.h"
#include "platform/web/Chromium.h"

namespace web {

ViewImage::ViewImage(std::string html, ui::Size size) : ui::Image("view image", size), html_(std::move(html)) {}

std::shared_ptr<ViewImage> ViewImage::ofView(ui::View& view, const ui::Rect& rect) {
    return std::make_shared<ViewImage>(HtmlPage::fragmentOfView(view, rect), rect.size);
}

std::shared_ptr<ViewImage> ViewImage::blank(ui::Size size) {
    return std::make_shared<ViewImage>(
        "<div class=\"blank\" style=\"left:0;top:0;width:" + graphics::svgNumber(size.width) +
            "px;height:" + graphics::svgNumber(size.height) + "px\"></div>",
        size);
}

std::shared_ptr<ViewImage> ViewImage::stacked(const std::vector<std::shared_ptr<const ViewImage>>& images) {
    if (images.empty()) return nullptr;
    double width = 0, y = 0;
    std::string html;
    for (const auto& image : images) {
        width = std::max(width, image->size().width);
        html += "<div class=\"piece\" style=\"left:0;top:" + graphics::svgNumber(y) +
                "px;width:" + graphics::svgNumber(image->size().width) + "px;height:" +
                graphics::svgNumber(image->size().height) + "px\">" + image->html() + "</div>";
        y += image->size().height;
    }
    return std::make_shared<ViewImage>(std::move(html), ui::Size{width, y});
}

std::string ViewImage::page(const PageOptions& options) const { return HtmlPage::ofScreen(html_, size(), options); }

double ViewImage::pixelScale(double scale) const {
    const double side = std::max(size().width, size().height);
    if (side * scale <= kMaxPixels) return scale;
    return std::floor(kMaxPixels / side * 1000) / 1000;
}

bool ViewImage::writePng(const std::filesystem::path& png, double scale, std::string& error) const {
    const int width = static_cast<int>(std::lround(size().width));
    const int height = static_cast<int>(std::lround(size().height));
    if (width <= 0 || height <= 0) return error = "the picture is empty", false;
    std::filesystem::path html = png;
    html += ".html";
    {
        std::ofstream out(html, std::ios::binary | std::ios::trunc);
        out << page();
        if (!out) return error = "cannot write " + html.string(), false;
    }
    const bool written = Chromium::screenshot(Chromium::fileUrl(html), png, width, height, pixelScale(scale), error);
    std::error_code ec;
    std::filesystem::remove(html, ec);
    return written;
}

}  // namespace web
