#include "platform/ui/ImageView.h"

namespace ui {

std::shared_ptr<const Image> Image::named(const std::string& name) {
    if (name.empty()) return nullptr;
    return std::make_shared<Image>(name);
}

std::string ImageView::snapshotDescription() const {
    return image_ ? "image " + quoted(image_->name()) : "";
}

std::string ActivityIndicatorView::snapshotDescription() const {
    return animating_ ? "spinner" : "";
}

}  // namespace ui
