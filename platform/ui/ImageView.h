#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/ui/View.h"

namespace ui {

// An image known by name; the headless platform keeps no pixels.
class Image {
  public:
    explicit Image(std::string name, Size size = {0, 0}) : name_(std::move(name)), size_(size) {}
    virtual ~Image() = default;
    // An image of the bundle (or an icon) by name.
    static std::shared_ptr<const Image> named(const std::string& name);
    // Every name `named` was asked for in this process: what the screens
    // want of the bundle, for checking that each one is there.
    static std::set<std::string> namesAskedFor();
    // Adds `name` to that list (for images made by name elsewhere, the kit's icons).
    static void noteAskedFor(const std::string& name);
    // Starts that list afresh, for a check of what one run asks for.
    static void forgetNamesAskedFor();
    const std::string& name() const { return name_; }
    Size size() const { return size_; }

  private:
    std::string name_;
    Size size_;
};

class ImageView : public View {
  public:
    using View::View;
    explicit ImageView(std::shared_ptr<const Image> image) : image_(std::move(image)) {}
    const std::shared_ptr<const Image>& image() const { return image_; }
    void setImage(std::shared_ptr<const Image> image) { image_ = std::move(image); }
    std::string snapshotDescription() const override;

  private:
    std::shared_ptr<const Image> image_;
};

class ActivityIndicatorView : public View {
  public:
    enum class Style { medium = 100, large = 101 };
    explicit ActivityIndicatorView(Style style = Style::medium) : style_(style) {}
    Style style() const { return style_; }
    std::optional<Color> color() const { return color_; }
    void setColor(std::optional<Color> color) { color_ = std::move(color); }
    void startAnimating() { animating_ = true; }
    void stopAnimating() { animating_ = false; }
    bool isAnimating() const { return animating_; }
    std::string snapshotDescription() const override;

  private:
    Style style_;
    std::optional<Color> color_;
    bool animating_ = false;
};

}  // namespace ui
