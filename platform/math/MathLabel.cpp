#include "platform/math/MathLabel.h"

#include <algorithm>
#include <cctype>

namespace math {

std::string MathLabel::snapshotDescription() const {
    return latex_.empty() ? "" : "math " + ui::quoted(latex_);
}

namespace {

// The typesetter's font metrics, in ems of the formula's font (TeX's
// sigma and xi parameters as KaTeX has them).
constexpr double xHeight = 0.431;
constexpr double axisHeight = 0.25;
constexpr double ruleThickness = 0.04;
constexpr double num1 = 0.677, num2 = 0.394, denom1 = 0.686, denom2 = 0.345;
constexpr double sup1 = 0.413, sup2 = 0.363, supDrop = 0.386, sub1 = 0.15, subDrop = 0.05;
// The typesetter draws its em 1.21 times the surrounding font size.
constexpr double emPerFontSize = 1.21;
// Every glyph is taken as tall as a parenthesis: a bound for letters,
// digits and operators alike.
constexpr double glyphHeight = 0.75, glyphDepth = 0.25;
// The line a formula sits on is at least this high above and deep below its
// baseline (the typesetter's line height), and a rounding's worth is added.
constexpr double lineAscent = 0.95, lineDescent = 0.35, roundingRoom = 0.05;
// Deeper than this a formula is not measured any further.
constexpr int maxNesting = 64;

enum class Style { display, text, script, scriptScript };

double scaleOf(Style style) {
    return style == Style::script ? 0.7 : style == Style::scriptScript ? 0.5 : 1.0;
}
Style scriptOf(Style style) { return style == Style::display || style == Style::text ? Style::script : Style::scriptScript; }
Style fractionPartOf(Style style) {
    return style == Style::display ? Style::text : style == Style::text ? Style::script : Style::scriptScript;
}

struct Box {
    double height = 0, depth = 0;
    void widen(const Box& other) {
        height = std::max(height, other.height);
        depth = std::max(depth, other.depth);
    }
};

// A recursive reading of the LaTeX, one box per atom, merged into the box of
// the list (height above, depth below the baseline).
class HeightReader {
  public:
    explicit HeightReader(const std::string& latex) : text_(latex) {}

    Box list(Style style, int nesting, bool untilRight = false) {
        Box line;
        Box last;
        bool hasLast = false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '}') {
                if (!untilRight) break;
                ++pos_;
                continue;
            }
            if (c == '^' || c == '_') {
                ++pos_;
                const Box base = hasLast ? last : Box{};
                last = scripts(base, c == '^', style, nesting);
                hasLast = true;
                line.widen(last);
                continue;
            }
            if (untilRight && text_.compare(pos_, 6, "\\right") == 0) break;
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++pos_;
                continue;
            }
            last = atom(style, nesting);
            hasLast = true;
            line.widen(last);
        }
        return line;
    }

  private:
    std::string command() {
        size_t start = ++pos_;
        while (pos_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        if (pos_ == start && pos_ < text_.size()) ++pos_;  // \; \, \{ ...
        return text_.substr(start, pos_ - start);
    }

    // A group in braces, or the one atom that stands for it.
    Box argument(Style style, int nesting) {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '{') {
            ++pos_;
            Box box = nesting < maxNesting ? list(style, nesting + 1) : skipGroup(style);
            if (pos_ < text_.size() && text_[pos_] == '}') ++pos_;
            return box;
        }
        if (pos_ >= text_.size()) return {};
        return atom(style, nesting);
    }

    Box skipGroup(Style style) {
        for (int depth = 1; pos_ < text_.size(); ++pos_) {
            if (text_[pos_] == '{') ++depth;
            if (text_[pos_] == '}' && --depth == 0) break;
        }
        return glyph(style);
    }

    static Box glyph(Style style) { return {glyphHeight * scaleOf(style), glyphDepth * scaleOf(style)}; }

    Box atom(Style style, int nesting) {
        const char c = text_[pos_];
        if (c == '{') return argument(style, nesting);
        if (c != '\\') {
            ++pos_;
            return glyph(style);
        }
        const std::string name = command();
        if (name == "frac" || name == "dfrac" || name == "tfrac") {
            const Style inner = name == "dfrac" ? Style::text : name == "tfrac" ? Style::script : fractionPartOf(style);
            const Box numerator = argument(inner, nesting);
            const Box denominator = argument(inner, nesting);
            return fraction(numerator, denominator, name == "dfrac" ? Style::display : style);
        }
        if (name == "left") return delimited(style, nesting);
        if (name == "color" || name == "textcolor") {
            argument(style, nesting);  // the colour
            return argument(style, nesting);
        }
        if (name == "mathbb" || name == "mathrm" || name == "text" || name == "mathbf" || name == "operatorname")
            return argument(style, nesting);
        if (name == "sqrt") {
            Box inside = argument(style, nesting);
            inside.height += 0.25 * scaleOf(style);
            inside.widen(glyph(style));
            return inside;
        }
        return glyph(style);
    }

    Box fraction(const Box& numerator, const Box& denominator, Style style) {
        const double k = scaleOf(style);
        const bool display = style == Style::display;
        double up = (display ? num1 : num2) * k, down = (display ? denom1 : denom2) * k;
        const double clearance = (display ? 3 : 1) * ruleThickness * k;
        const double axis = axisHeight * k, rule = ruleThickness * k;
        if (double gap = (up - numerator.depth) - (axis + rule / 2); gap < clearance) up += clearance - gap;
        if (double gap = (axis - rule / 2) - (denominator.height - down); gap < clearance) down += clearance - gap;
        return {up + numerator.height, down + denominator.depth};
    }

    Box scripts(const Box& base, bool superscript, Style style, int nesting) {
        const double k = scaleOf(style);
        const Style small = scriptOf(style);
        const double ks = scaleOf(small);
        const Box script = argument(small, nesting);
        Box out = base;
        if (superscript) {
            double shift = std::max({base.height - supDrop * ks, (style == Style::display ? sup1 : sup2) * k,
                                     script.depth + 0.25 * xHeight * k});
            out.height = std::max(base.height, shift + script.height);
        } else {
            double shift = std::max({base.depth + subDrop * ks, sub1 * k, script.height - 0.8 * xHeight * k});
            out.depth = std::max(base.depth, shift + script.depth);
        }
        return out;
    }

    // \left X ... \right Y: delimiters that grow about the axis to cover
    // what they hold, in the typesetter's steps of size.
    Box delimited(Style style, int nesting) {
        delimiterArgument();
        Box inner = nesting < maxNesting ? list(style, nesting + 1, true) : glyph(style);
        if (text_.compare(pos_, 6, "\\right") == 0) {
            pos_ += 6;
            delimiterArgument();
        }
        const double k = scaleOf(style);
        const double axis = axisHeight * k;
        const double reach = std::max(inner.height - axis, inner.depth + axis);
        const double needed = std::max(reach / 500 * 901, 2 * reach - 0.5 * k);
        double size = needed;
        for (double step : {1.0, 1.2, 1.8, 2.4, 3.0})
            if (step * k >= needed) {
                size = step * k;
                break;
            }
        Box delimiter{size / 2 + axis, size / 2 - axis};
        delimiter.widen(glyph(style));
        inner.widen(delimiter);
        return inner;
    }

    // The delimiter after \left or \right: one character or a command.
    void delimiterArgument() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        if (pos_ >= text_.size()) return;
        if (text_[pos_] == '\\')
            command();
        else
            ++pos_;
    }

    const std::string& text_;
    size_t pos_ = 0;
};

}  // namespace

double MathLabel::typesetHeight(const std::string& latex, double fontSize, MathLabelMode mode) {
    if (latex.empty()) return 0;
    HeightReader reader(latex);
    Box box = reader.list(mode == MathLabelMode::display ? Style::display : Style::text, 0, true);
    return (std::max(box.height, lineAscent) + std::max(box.depth, lineDescent) + roundingRoom) * emPerFontSize *
           fontSize;
}

}  // namespace math
