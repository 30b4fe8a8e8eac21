#include "platform/ui/ImageView.h"

#include <mutex>

namespace ui {
namespace {

std::mutex namesMutex;
std::set<std::string>& askedNames() {
    static std::set<std::string> names;
    return names;
}

}  // namespace

std::shared_ptr<const Image> Image::named(const std::string& name) {
    if (name.empty()) return nullptr;
    noteAskedFor(name);
    return std::make_shared<Image>(name);
}

void Image::noteAskedFor(const std::string& name) {
    std::lock_guard lock(namesMutex);
    askedNames().insert(name);
}

std::set<std::string> Image::namesAskedFor() {
    std::lock_guard lock(namesMutex);
    return askedNames();
}

void Image::forgetNamesAskedFor() {
    std::lock_guard lock(namesMutex);
    askedNames().clear();
}

std::string ImageView::snapshotDescription() const {
    return image_ ? "image " + quoted(image_->name()) : "";
}

std::string ActivityIndicatorView::snapshotDescription() const {
    return animating_ ? "spinner" : "";
}

}  // namespace ui
