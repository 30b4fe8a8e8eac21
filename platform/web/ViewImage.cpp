#include "platform/web/ViewImage.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cmath>

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
    namespace fs = std::filesystem;
    const int width = static_cast<int>(std::lround(size().width));
    const int height = static_cast<int>(std::lround(size().height));
    if (width <= 0 || height <= 0) return error = "the picture is empty", false;
    // Chromium writes where it is told, through any link found there: the
    // page and the picture are made in a new folder of our own beside the
    // picture (0700), and the picture then takes its name only if nothing,
    // not even a link, has it.
    const fs::path folder = png.has_parent_path() ? png.parent_path() : fs::path(".");
    std::string work = (folder / ".picture-XXXXXX").string();
    if (!::mkdtemp(work.data())) return error = "cannot make a folder in " + folder.string(), false;
    const fs::path html = fs::path(work) / "page.html";
    const fs::path shot = fs::path(work) / "picture.png";
    bool written = false;
    {
        const std::string text = page();
        const int fd = ::open(html.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        bool ok = fd >= 0;
        for (size_t done = 0; ok && done < text.size();) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            ok = n > 0;
            done += ok ? static_cast<size_t>(n) : 0;
        }
        if (fd >= 0 && ::close(fd) != 0) ok = false;
        if (!ok) error = "cannot write " + html.string();
        written = ok && Chromium::screenshot(Chromium::fileUrl(html), shot, width, height, pixelScale(scale), error);
    }
    if (written && (::chmod(shot.c_str(), 0600) != 0 ||
                    ::renameat2(AT_FDCWD, shot.c_str(), AT_FDCWD, png.c_str(), RENAME_NOREPLACE) != 0)) {
        error = "cannot place the picture at " + png.string() + ": " + std::strerror(errno);
        written = false;
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    return written;
}

}  // namespace web
