#pragma once

#include <optional>

#include "platform/ui/Button.h"
#include "platform/ui/Label.h"

namespace ui {

class TextField;

// Optional answers of a text field's delegate (the defaults are the platform's).
class TextFieldDelegate {
  public:
    virtual ~TextFieldDelegate() = default;
    virtual bool textFieldShouldBeginEditing(TextField&) { return true; }
    virtual void textFieldDidBeginEditing(TextField&) {}
    virtual void textFieldDidEndEditing(TextField&) {}
};

// A text field together with the input-field kit's additions: a floating
// placeholder, a border and an error text shown under the field.
class TextField : public Control, public TextAppearance {
  public:
    TextField();
    explicit TextField(const Rect& frame);

    // The text; an absent text reads as "".
    const std::string& text() const { return text_; }
    void setText(std::string text);
    const std::string& placeholder() const { return placeholder_; }
    void setPlaceholder(std::string placeholder) { placeholder_ = std::move(placeholder); }

    // Not owned; the delegate outlives the field (a screen and its fields).
    TextFieldDelegate* delegate() const { return delegate_; }
    void setDelegate(TextFieldDelegate* delegate) { delegate_ = delegate; }

    // The selection (caret when empty) in UTF-16 units; absent while the
    // field is not editing. setSelectedRange clamps to the text.
    std::optional<TextRange> selectedRange() const { return selection_; }
    void setSelectedRange(std::optional<TextRange> range);
    // Replaces `range` by `text` and leaves the caret after the insertion.
    void replace(const TextRange& range, const std::string& text);
    // What typing does: replaces the selection (or inserts at the end).
    void insertText(const std::string& text);
    int64_t utf16Length() const;

    bool becomeFirstResponder() override;
    bool resignFirstResponder() override;
    bool isFirstResponder() const override { return firstResponder_; }

    // The keyboard: a custom input view replaces it (an empty view: none shown).
    const std::shared_ptr<View>& inputView() const { return inputView_; }
    void setInputView(std::shared_ptr<View> view) { inputView_ = std::move(view); }
    bool autocorrection() const { return autocorrection_; }
    void setAutocorrection(bool on) { autocorrection_ = on; }
    bool showsShortcutBar() const { return shortcutBar_; }
    void setShowsShortcutBar(bool shows) { shortcutBar_ = shows; }

    // Input-field kit: error display.
    void showError(std::string message);
    void hideError();
    bool isShowingError() const { return showingError_; }
    const std::string& errorMessage() const { return errorMessage_; }
    Color errorTextColor() const { return errorTextColor_.value_or(Color::red()); }
    void setErrorTextColor(std::optional<Color> color) { errorTextColor_ = std::move(color); }
    const Font& errorFont() const { return errorFont_; }
    void setErrorFont(Font font) { errorFont_ = std::move(font); }
    bool hideErrorWhenEditing() const { return hideErrorWhenEditing_; }
    void setHideErrorWhenEditing(bool hide) { hideErrorWhenEditing_ = hide; }
    double paddingYErrorLabel() const { return paddingYErrorLabel_; }
    void setPaddingYErrorLabel(double padding) { paddingYErrorLabel_ = padding; }
    // Input-field kit: placeholder and border.
    std::optional<Color> floatPlaceholderColor() const { return floatPlaceholderColor_; }
    void setFloatPlaceholderColor(std::optional<Color> color) { floatPlaceholderColor_ = std::move(color); }
    std::optional<Color> floatPlaceholderActiveColor() const { return floatPlaceholderActiveColor_; }
    void setFloatPlaceholderActiveColor(std::optional<Color> color) {
        floatPlaceholderActiveColor_ = std::move(color);
    }
    bool canShowBorder() const { return canShowBorder_; }
    void setCanShowBorder(bool shows) { canShowBorder_ = shows; }
    std::optional<Color> borderColor() const { return borderColor_; }
    void setBorderColor(std::optional<Color> color) { borderColor_ = std::move(color); }
    // The kit's own drawing layer (the one whose background shows).
    Layer& drawingLayer() { return *drawingLayer_; }

    std::string snapshotDescription() const override;
    bool snapshotListsSubviews() const override { return false; }

  private:
    std::string text_;
    std::string placeholder_;
    TextFieldDelegate* delegate_ = nullptr;
    std::optional<TextRange> selection_;
    bool firstResponder_ = false;
    std::shared_ptr<View> inputView_;
    bool autocorrection_ = true;
    bool shortcutBar_ = true;
    bool showingError_ = false;
    std::string errorMessage_;
    std::optional<Color> errorTextColor_;
    Font errorFont_;
    bool hideErrorWhenEditing_ = true;
    double paddingYErrorLabel_ = 0;
    std::optional<Color> floatPlaceholderColor_;
    std::optional<Color> floatPlaceholderActiveColor_;
    bool canShowBorder_ = true;
    std::optional<Color> borderColor_;
    std::shared_ptr<Layer> drawingLayer_;
};

// UTF-16 length of UTF-8 text, and the byte offset of a UTF-16 offset.
int64_t utf16Length(const std::string& text);
size_t utf8Offset(const std::string& text, int64_t utf16Offset);

// Segments of titles or images. Each segment is a subview holding an image
// view or a label, so walkers of the tree find the images two levels down.
class SegmentedControl : public Control {
  public:
    SegmentedControl();
    void insertSegment(const std::string& title, size_t index);
    void insertSegment(std::shared_ptr<const Image> image, size_t index);
    size_t numberOfSegments() const { return segments_.size(); }
    std::string titleForSegment(size_t index) const;
    // -1 when none is selected.
    int64_t selectedSegmentIndex() const { return selected_; }
    // Programmatic: no value-changed action, as on the platform.
    void setSelectedSegmentIndex(int64_t index);
    // The user's choice: selects and sends value-changed.
    void selectSegment(int64_t index);

    std::string snapshotDescription() const override;
    bool snapshotListsSubviews() const override { return false; }

  private:
    struct Segment {
        std::string title;
        std::shared_ptr<const Image> image;
    };
    void rebuild();
    std::vector<Segment> segments_;
    int64_t selected_ = -1;
};

}  // namespace ui
