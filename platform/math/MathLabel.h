#pragma once

#include <string>

#include "platform/ui/Label.h"
#include "platform/ui/View.h"

namespace math {

enum class MathLabelMode { display = 0, text = 1 };

// A label that shows LaTeX. It keeps the LaTeX it was given exactly as given
// (typesetting happens when the drawing layer draws it), so screens and tests
// can read back what a step shows.
class MathLabel : public ui::View {
  public:
    using ui::View::View;

    const std::string& latex() const { return latex_; }
    void setLatex(std::string latex) { latex_ = std::move(latex); }
    ui::Color textColor() const { return textColor_.value_or(ui::Color::label()); }
    void setTextColor(std::optional<ui::Color> color) { textColor_ = std::move(color); }
    double fontSize() const { return fontSize_; }
    void setFontSize(double size) { fontSize_ = size; }
    MathLabelMode labelMode() const { return mode_; }
    void setLabelMode(MathLabelMode mode) { mode_ = mode; }
    ui::TextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(ui::TextAlignment alignment) { alignment_ = alignment; }
    ui::EdgeInsets contentInsets() const { return insets_; }
    void setContentInsets(const ui::EdgeInsets& insets) { insets_ = insets; }

    // "math \"<latex>\"", nothing while the label is empty.
    std::string snapshotDescription() const override;

    // The height in points that the page's typesetting gives `latex` at
    // `fontSize`, worked out by TeX's rules for fractions, scripts and
    // growing delimiters with the typesetter's font metrics; an upper bound
    // within a few points, so that a label this high shows the formula whole.
    static double typesetHeight(const std::string& latex, double fontSize, MathLabelMode mode);

  private:
    std::string latex_;
    std::optional<ui::Color> textColor_;
    double fontSize_ = 20.0;
    MathLabelMode mode_ = MathLabelMode::display;
    ui::TextAlignment alignment_ = ui::TextAlignment::left;
    ui::EdgeInsets insets_;
};

}  // namespace math
