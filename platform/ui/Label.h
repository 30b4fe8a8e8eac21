#pragma once

#include "platform/ui/View.h"

namespace ui {

enum class TextAlignment { left = 0, center = 1, right = 2, justified = 3, natural = 4 };

// The look of a text that labels and text fields share: its colour (the
// label colour until one is set), font and alignment.
class TextAppearance {
  public:
    Color textColor() const { return textColor_.value_or(Color::label()); }
    void setTextColor(std::optional<Color> color) { textColor_ = std::move(color); }
    const Font& font() const { return font_; }
    void setFont(Font font) { font_ = std::move(font); }
    TextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(TextAlignment alignment) { alignment_ = alignment; }

  protected:
    ~TextAppearance() = default;

  private:
    std::optional<Color> textColor_;
    Font font_;
    TextAlignment alignment_ = TextAlignment::natural;
};

class Label : public View, public TextAppearance {
  public:
    using View::View;
    const std::string& text() const { return text_; }
    void setText(std::string text) { text_ = std::move(text); }
    int64_t numberOfLines() const { return lines_; }
    void setNumberOfLines(int64_t lines) { lines_ = lines; }
    bool adjustsFontSizeToFitWidth() const { return adjusts_; }
    void setAdjustsFontSizeToFitWidth(bool adjusts) { adjusts_ = adjusts; }

    std::string snapshotDescription() const override;

  private:
    std::string text_;
    int64_t lines_ = 1;
    bool adjusts_ = false;
};

}  // namespace ui
