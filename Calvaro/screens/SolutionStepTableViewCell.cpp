#include "Calvaro/screens/SolutionStepTableViewCell.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/ui/Color.h"

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool startsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

// One pass of the replacement rules, in their fixed order.
std::string normalizationPass(std::string text) {
    static const std::array<std::pair<const char*, const char*>, 9> leading = {{
        {"  ", " "},
        {"\\quad", "\\quad "},
        {". ", " "},
        {"(", "\\left("},
        {")", "\\right)"},
        {"\\left\\left", "\\left"},
        {"\\right\\right", "\\right"},
        {" 1x", "x"},
        {" 0x", ""},
    }};
    for (const auto& [from, to] : leading) replaceAll(text, from, to);
    replaceAll(text, ".0\\quad", "\\quad");
    if (endsWith(text, ".0")) text.erase(text.size() - 2);
    // Only the first ".0" is looked at: it goes unless a digit follows it.
    if (size_t at = text.find(".0"); at != std::string::npos) {
        const bool digitFollows = at + 2 < text.size() && text[at + 2] >= '0' && text[at + 2] <= '9';
        if (!digitFollows) text.erase(at, 2);
    }
    static const std::array<std::pair<const char*, const char*>, 11> signs = {{
        {"+-", "-"},
        {"-+", "-"},
        {"+ -", "-"},
        {"- +", "-"},
        {"+ +", "+"},
        {"++", "+"},
        {"--", "+"},
        {"- -", "+"},
        {"*", "\\cdot "},
        {"= +", "="},
        {"=+", "="},
    }};
    for (const auto& [from, to] : signs) replaceAll(text, from, to);
    // An enumerator "I)" to "X)" at the start keeps its plain parenthesis.
    static const std::array<const char*, 10> numerals = {"I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X"};
    for (const char* numeral : numerals) {
        const std::string grown = std::string(numeral) + "\\right)";
        if (startsWith(text, grown)) replaceAll(text, grown, std::string(numeral) + ")");
    }
    return text;
}

}  // namespace

std::string normalizeLatexStep(const std::string& latex) {
    std::string text = latex;
    for (;;) {
        std::string next = normalizationPass(text);
        if (next == text) break;
        text = std::move(next);
    }
    replaceAll(text, "\\color", "\\;\\color");
    return text;
}

SolutionStepTableViewCell::SolutionStepTableViewCell() : ui::TableViewCell(reuseIdentifier) {
    // What the prototype cell of the layout holds: the title and a math label
    // that only lends its size.
    stepTitleLabel_ = std::make_shared<ui::Label>(ui::Rect(20, 8, 350, 20));
    contentView().addSubview(stepTitleLabel_);
    mathLabel_ = std::make_shared<math::MathLabel>(ui::Rect(20, formulaTop, 350, 56));
    contentView().addSubview(mathLabel_);
}

double SolutionStepTableViewCell::rowHeight(const std::map<std::string, std::string>& step, double defaultHeight) {
    auto latex = step.find("latexString");
    if (step.count("messageString") || latex == step.end()) return defaultHeight;
    // A little room above and below the formula, as the strip of a row of
    // the default height leaves it for an ordinary one.
    constexpr double breathingRoom = 4.0;
    const double formula = math::MathLabel::typesetHeight(normalizeLatexStep(latex->second), formulaFontSize,
                                                          math::MathLabelMode::display);
    return std::max(defaultHeight, formulaTop + formula + breathingRoom);
}

void SolutionStepTableViewCell::awakeFromNib() { setUpLayout(); }

void SolutionStepTableViewCell::layoutSubviews() {
    const ui::Rect content = contentView().bounds();
    const ui::Rect title = stepTitleLabel_->frame();
    const double top = title.maxY() + 8;
    scrollView_->setFrame(ui::Rect(0, top, content.width(), std::max(0.0, content.height() - top)));
    const ui::Rect label = mathLabel_->frame();
    mathLabel_->setFrame(ui::Rect(label.x(), 0, label.width(), scrollView_->frame().height()));
    scrollView_->setContentSize({label.maxX(), scrollView_->frame().height()});
}

void SolutionStepTableViewCell::setUpLayout() {
    const ui::Rect titleFrame = stepTitleLabel_->frame();
    scrollView_ = std::make_shared<ui::ScrollView>(
        ui::Rect(0, titleFrame.maxY() + 8, frame().width(), std::max(0.0, frame().height() - titleFrame.maxY() - 8)));
    scrollView_->setScrollEnabled(true);
    contentView().addSubview(scrollView_);

    auto label = std::make_shared<math::MathLabel>(mathLabel_->bounds());
    label->setFrame(ui::Rect(titleFrame.x() + 4, 0, mathLabel_->bounds().width(), mathLabel_->bounds().height()));
    label->setTextColor(ui::Color::label());
    label->setFontSize(formulaFontSize);
    scrollView_->addSubview(label);
    mathLabel_ = label;
    scrollView_->setContentSize({label->bounds().width(), label->bounds().height()});

    if (!messageLabel_) {
        const ui::Rect b = bounds();
        messageLabel_ = std::make_shared<ui::Label>(ui::Rect(b.x() + 28, b.y(), b.width(), b.height()));
        messageLabel_->setTextAlignment(ui::TextAlignment::left);
        messageLabel_->setFont(ui::Font::system(16));
        addSubview(messageLabel_);
    }
}

void SolutionStepTableViewCell::setStepTitle(const std::string& title) {
    static const std::string marker = "#bold";
    if (endsWith(title, marker)) {
        std::string plain = title;
        replaceAll(plain, marker, "");
        stepTitleLabel_->setText(plain);
        stepTitleLabel_->setFont(ui::Font::named("Avenir-Heavy", 14));
    } else {
        stepTitleLabel_->setText(title);
        stepTitleLabel_->setFont(ui::Font::named("Avenir-Book", 14));
    }
}

void SolutionStepTableViewCell::setStep(const std::map<std::string, std::string>& step) {
    // A reused cell loses what it showed before.
    messageLabel_->setText("");
    mathLabel_->setLatex("");
    if (auto message = step.find("messageString"); message != step.end()) {
        messageLabel_->setText(message->second);
        return;
    }
    if (auto latex = step.find("latexString"); latex != step.end()) mathLabel_->setLatex(normalizeLatexStep(latex->second));
}
