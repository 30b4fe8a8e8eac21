#include "platform/ui/TextField.h"

#include <algorithm>

namespace ui {

int64_t utf16Length(const std::string& text) {
    int64_t units = 0;
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        units += len == 4 ? 2 : 1;
        i += len;
    }
    return units;
}

size_t utf8Offset(const std::string& text, int64_t utf16Offset) {
    int64_t units = 0;
    size_t i = 0;
    while (i < text.size() && units < utf16Offset) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        units += len == 4 ? 2 : 1;
        i = std::min(text.size(), i + len);
    }
    return i;
}

TextField::TextField() : TextField(Rect()) {}

TextField::TextField(const Rect& frame) : Control(frame), drawingLayer_(std::make_shared<Layer>()) {
    layer().addSublayer(drawingLayer_);
}

void TextField::setText(std::string text) {
    text_ = std::move(text);
    if (selection_) setSelectedRange(TextRange{ui::utf16Length(text_), 0});
}

void TextField::setSelectedRange(std::optional<TextRange> range) {
    if (!range) {
        selection_.reset();
        return;
    }
    int64_t length = ui::utf16Length(text_);
    int64_t start = std::clamp<int64_t>(range->location, 0, length);
    int64_t end = std::clamp<int64_t>(range->location + std::max<int64_t>(range->length, 0), start, length);
    selection_ = TextRange{start, end - start};
}

void TextField::replace(const TextRange& range, const std::string& text) {
    int64_t length = ui::utf16Length(text_);
    int64_t start = std::clamp<int64_t>(range.location, 0, length);
    int64_t end = std::clamp<int64_t>(range.location + std::max<int64_t>(range.length, 0), start, length);
    size_t from = utf8Offset(text_, start), to = utf8Offset(text_, end);
    text_ = text_.substr(0, from) + text + text_.substr(to);
    if (selection_ || firstResponder_) selection_ = TextRange{start + ui::utf16Length(text), 0};
}

void TextField::insertText(const std::string& text) {
    replace(selection_.value_or(TextRange{ui::utf16Length(text_), 0}), text);
    sendActions(ControlEvent::editingChanged);
}

int64_t TextField::utf16Length() const {
    return ui::utf16Length(text_);
}

namespace {
void resignOthers(View& view, const View* keep) {
    if (&view != keep && view.isFirstResponder()) view.resignFirstResponder();
    for (const auto& sub : std::vector<std::shared_ptr<View>>(view.subviews())) resignOthers(*sub, keep);
}
}  // namespace

bool TextField::becomeFirstResponder() {
    if (firstResponder_) return true;
    if (!isEnabled()) return false;
    if (delegate_ && !delegate_->textFieldShouldBeginEditing(*this)) return false;
    View* root = this;
    while (root->superview()) root = root->superview();
    resignOthers(*root, this);
    firstResponder_ = true;
    if (!selection_) selection_ = TextRange{ui::utf16Length(text_), 0};
    if (delegate_) delegate_->textFieldDidBeginEditing(*this);
    return true;
}

bool TextField::resignFirstResponder() {
    if (!firstResponder_) return true;
    firstResponder_ = false;
    selection_.reset();
    if (delegate_) delegate_->textFieldDidEndEditing(*this);
    return true;
}

void TextField::showError(std::string message) {
    errorMessage_ = std::move(message);
    showingError_ = true;
}

void TextField::hideError() {
    showingError_ = false;
}

std::string TextField::snapshotDescription() const {
    std::string line = "field";
    if (!accessibilityIdentifier().empty()) line += " #" + accessibilityIdentifier();
    line += " " + quoted(text_);
    if (text_.empty() && !placeholder_.empty()) line += " placeholder " + quoted(placeholder_);
    if (firstResponder_) line += " focused";
    if (!isEnabled()) line += " disabled";
    if (showingError_ && !(firstResponder_ && hideErrorWhenEditing_))
        line += " error " + quoted(errorMessage_);
    return line;
}

SegmentedControl::SegmentedControl() = default;

void SegmentedControl::insertSegment(const std::string& title, size_t index) {
    index = std::min(index, segments_.size());
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(index), Segment{title, nullptr});
    rebuild();
}

void SegmentedControl::insertSegment(std::shared_ptr<const Image> image, size_t index) {
    index = std::min(index, segments_.size());
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(index), Segment{"", std::move(image)});
    rebuild();
}

std::string SegmentedControl::titleForSegment(size_t index) const {
    return index < segments_.size() ? segments_[index].title : "";
}

void SegmentedControl::setSelectedSegmentIndex(int64_t index) {
    selected_ = index >= 0 && index < static_cast<int64_t>(segments_.size()) ? index : -1;
}

void SegmentedControl::selectSegment(int64_t index) {
    if (!isEnabled() || index < 0 || index >= static_cast<int64_t>(segments_.size())) return;
    bool changed = index != selected_;
    selected_ = index;
    if (changed) sendActions(ControlEvent::valueChanged);
}

void SegmentedControl::rebuild() {
    for (const auto& sub : std::vector<std::shared_ptr<View>>(subviews())) sub->removeFromSuperview();
    for (const auto& segment : segments_) {
        auto holder = std::make_shared<View>();
        if (segment.image) {
            holder->addSubview(std::make_shared<ImageView>(segment.image));
        } else {
            auto label = std::make_shared<Label>();
            label->setText(segment.title);
            holder->addSubview(label);
        }
        addSubview(holder);
    }
}

std::string SegmentedControl::snapshotDescription() const {
    std::string line = "segments";
    if (!accessibilityIdentifier().empty()) line += " #" + accessibilityIdentifier();
    for (const auto& segment : segments_)
        line += " " + (segment.image ? "[" + segment.image->name() + "]" : quoted(segment.title));
    line += " selected=" + std::to_string(selected_);
    return line;
}

}  // namespace ui
