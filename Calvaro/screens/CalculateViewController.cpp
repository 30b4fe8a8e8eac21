#include "Calvaro/screens/CalculateViewController.h"

#include <algorithm>
#include <cmath>
#include <typeinfo>

#include "Calvaro/engine/CalcManager.h"
#include "Calvaro/engine/KalPowerAndLogarithmicFunction.h"
#include "Calvaro/engine/LocalizedString.h"
#include "Calvaro/screens/ColorManager.h"
#include "Calvaro/screens/ManualViewController.h"
#include "Calvaro/screens/ScreenUtilities.h"
#include "Calvaro/screens/SolutionStepTableViewCell.h"
#include "Calvaro/screens/SolutionViewController.h"
#include "Calvaro/screens/ViewManager.h"
#include "Calvaro/services/RatingViewController.h"
#include "Calvaro/services/VideoCollectionViewCell.h"
#include "analytics/core/DEDIzurarove.h"
#include "platform/graphics/Context.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/kit/Icon.h"
#include "platform/kit/TabsController.h"
#include "platform/kit/ToolbarController.h"
#include "platform/ui/Storyboard.h"

namespace {

constexpr const char* formSelectionKey = "inputCalculationSelection";
constexpr int64_t solutionPage = 1;

// The keypad's keys, row by row; delete closes the last row. "." stands for
// the decimal separator of the language shown.
const std::vector<std::vector<std::string>>& keypadRows() {
    static const std::vector<std::vector<std::string>> rows = {
        {"7", "8", "9", "/"}, {"4", "5", "6", "-"}, {"1", "2", "3", "\xCF\x80"}, {"0", ".", "e"}};
    return rows;
}

// The top view's subviews, each followed at once by all of its descendants.
void collectSubviews(ui::View& view, std::vector<ui::View*>& out) {
    for (const auto& sub : view.subviews()) {
        out.push_back(sub.get());
        collectSubviews(*sub, out);
    }
}

// Byte offsets of UTF-16 caret positions.
std::string utf16Substr(const std::string& text, int64_t from, int64_t to) {
    const size_t begin = ui::utf8Offset(text, from);
    return text.substr(begin, ui::utf8Offset(text, to) - begin);
}

}  // namespace

void installServiceOutlets() {
    ErrorManager::Outlets outlets;
    outlets.logEvent = [](const std::string& name, const foundation::Value::Dictionary& parameters) {
        DEDIzurarove::logEventWithName(name, parameters);
    };
    outlets.showToast = [](const std::string& message) { ViewManager::showToast(message); };
    outlets.showAlert = [](const std::string& title, const std::string& message) {
        ui::Window* window = ViewManager::keyWindow();
        if (!window || !window->rootViewController()) return;
        presentAlert(*window->rootViewController(), title, message, {}, ui::AlertControllerStyle::alert);
    };
    ErrorManager::setOutlets(std::move(outlets));

    RatingViewController::Outlets rating;
    rating.checkInternetConnection = [](ui::ViewController& presenter, std::function<void()> success,
                                        std::function<void()> failure) {
        checkInternetConnection(presenter, std::move(success), std::move(failure));
    };
    rating.rateApp = [](ui::ViewController& presenter) { rateApp(presenter); };
    rating.applyColors = [](ui::View& root) { ColorManager::applyColors(root); };
    rating.applyCardStyle = [](StarRatingView& stars) { ColorManager::applyCardStyle(stars); };
    RatingViewController::setOutlets(std::move(rating));
    VideoCollectionViewCell::setCardShadow([](ui::Layer& layer) { ColorManager::addShadow(layer); });
}

CalculateViewController::CalculateViewController()
    : outputHelper_(KalStringOutput::shared()),
      basicOperationHelper_(KalMathOperation::shared()),
      errorManager_(ErrorManager::shared()) {
    installServiceOutlets();
    prepareTabItem(*this, foundation::localizedString("Input"), true);
}

CalculateViewController::~CalculateViewController() = default;

void CalculateViewController::loadView() {
    ui::ViewController::loadView();
    buildLayout(*view());
}

// What the storyboard holds: prompt, form switch and picture, six parameter
// rows, the keypad and the manual button.
void CalculateViewController::buildLayout(ui::View& root) {
    const double width = root.bounds().width();
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    auto onSelf = [weak](auto action) {
        return [weak, action](ui::Control& sender) {
            if (auto self = std::static_pointer_cast<CalculateViewController>(weak.lock())) action(*self, sender);
        };
    };

    fillInLabel_ = std::make_shared<ui::Label>(ui::Rect(20, 8, width - 40, 24));
    root.addSubview(fillInLabel_);
    segmentedControl_ = std::make_shared<ui::SegmentedControl>();
    segmentedControl_->setFrame(ui::Rect(20, 40, width - 40, 32));
    segmentedControl_->insertSegment("log", 0);
    segmentedControl_->insertSegment("exp", 1);
    segmentedControl_->setSelectedSegmentIndex(0);
    segmentedControl_->setAccessibilityIdentifier("segmentedControl");
    segmentedControl_->addTarget(ui::ControlEvent::valueChanged, onSelf([](CalculateViewController& self, ui::Control& c) {
                                     self.selectForm(static_cast<ui::SegmentedControl&>(c).selectedSegmentIndex());
                                 }));
    root.addSubview(segmentedControl_);
    modeImageView_ = std::make_shared<ui::ImageView>(ui::Image::named("clv_ui_a"));
    modeImageView_->setFrame(ui::Rect(20, 80, width - 40, 60));
    root.addSubview(modeImageView_);

    auto fieldsView = std::make_shared<ui::View>(ui::Rect(0, 148, width, 6 * 44));
    const std::pair<const char*, std::shared_ptr<ui::TextField>*> rows[] = {
        {"a", &aTextField_}, {"b", &bTextField_}, {"c", &cTextField_},
        {"d", &dTextField_}, {"x", &xTextField_}, {"z", &zTextField_}};
    double y = 0;
    for (const auto& [name, slot] : rows) {
        auto row = std::make_shared<ui::View>(ui::Rect(0, y, width, 44));
        auto label = std::make_shared<ui::Label>(ui::Rect(20, 8, 40, 28));
        label->setText(std::string(name) + " =");
        row->addSubview(label);
        *slot = std::make_shared<ui::TextField>(ui::Rect(70, 4, width - 90, 36));
        (*slot)->setPlaceholder(name);
        row->addSubview(*slot);
        fieldsView->addSubview(row);
        y += 44;
    }
    root.addSubview(fieldsView);

    keypadStackView_ = std::make_shared<ui::StackView>(ui::Rect(20, 420, width - 40, 5 * 48));
    keypadStackView_->setAxis(ui::StackView::Axis::vertical);
    for (const auto& keys : keypadRows()) {
        auto line = std::make_shared<ui::StackView>(ui::Rect(0, 0, width - 40, 48));
        for (const auto& key : keys) {
            auto button = std::make_shared<kit::FlatButton>(key == "." ? decimalSeparator() : key);
            button->addTarget(ui::ControlEvent::touchUpInside, onSelf([](CalculateViewController& self, ui::Control& c) {
                                  self.insertKeypadValue(static_cast<ui::Button&>(c).titleLabel().text());
                              }));
            line->addArrangedSubview(button);
        }
        if (&keys == &keypadRows().back()) {
            deleteButton_ = std::make_shared<kit::FlatButton>();
            deleteButton_->setAccessibilityIdentifier("deleteButton");
            deleteButton_->addTarget(ui::ControlEvent::touchUpInside,
                                     onSelf([](CalculateViewController& self, ui::Control&) { self.deleteAtCursor(); }));
            line->addArrangedSubview(deleteButton_);
        }
        keypadStackView_->addArrangedSubview(line);
    }
    calculateButton_ = std::make_shared<kit::FlatButton>();
    calculateButton_->setAccessibilityIdentifier("calculateButton");
    calculateButton_->addTarget(ui::ControlEvent::touchUpInside, onSelf([](CalculateViewController& self, ui::Control&) {
                                    if (!isCalculating) self.calculate();
                                }));
    keypadStackView_->addArrangedSubview(calculateButton_);
    root.addSubview(keypadStackView_);

    manualButton_ = std::make_shared<kit::FABButton>(kit::Icon::named("info"));
    manualButton_->setFrame(ui::Rect(width - 64, 90, 48, 48));
    manualButton_->setAccessibilityIdentifier("manualButton");
    manualButton_->addTarget(ui::ControlEvent::touchUpInside,
                             onSelf([](CalculateViewController& self, ui::Control&) { self.showManual(); }));
    root.addSubview(manualButton_);
    bannerBackgroundView_ = std::make_shared<ui::View>(ui::Rect(0, root.bounds().height() - 50, width, 50));
    root.addSubview(bannerBackgroundView_);
}

void CalculateViewController::viewDidLoad() {
    CalcManager& store = CalcManager::shared();
    if (const auto& selected = store.currentSelectedCalculation()) applySetupParameter(selected->setupParameter);
    fillInLabel_->setText(LocalizedString::fillInYourGivenNumbers());
    prepareInputFields();
    prepareTabItem(*this, foundation::localizedString("Input"), true);
    styleInputFields();
    prepareKeypadIcons();
    if (auto selected = store.currentSelectedCalculation()) {
        store.setCurrentSelectedCalculation(std::nullopt);
        store.saveCurrentSelectedCalculation();
        fillFields(selected->inputParameters);
    } else if (const auto& current = store.currentCalculation()) {
        fillFields(current->inputParameters);
    }
    ColorManager::applyColors(*view());
    ViewManager::fixSegmentedControlImages(*view());
}

void CalculateViewController::applySetupParameter(const foundation::Value::Dictionary& setupParameter) {
    for (const auto& [key, value] : setupParameter)
        if (key == formSelectionKey)
            if (auto index = value.integerValue()) selectForm(*index);
}

void CalculateViewController::fillFields(const std::map<std::string, std::string>& inputParameters) {
    // A record keeps the separator of the language it was typed in ("2,5" in
    // German); shown in the separator of today's language it reads and
    // calculates as the same number after a change of language.
    const std::string separator = decimalSeparator();
    for (const auto& field : allFields_) {
        auto it = inputParameters.find(field->accessibilityIdentifier());
        std::string text = it == inputParameters.end() ? "" : it->second;
        for (char& c : text)
            if (c == '.' || c == ',') c = separator[0];
        field->setText(text);
    }
}

std::vector<std::pair<std::string, ui::TextField*>> CalculateViewController::textFieldProperties() const {
    return {{"aTextField", aTextField_.get()}, {"bTextField", bTextField_.get()}, {"cTextField", cTextField_.get()},
            {"dTextField", dTextField_.get()}, {"xTextField", xTextField_.get()}, {"zTextField", zTextField_.get()}};
}

std::shared_ptr<ui::TextField> CalculateViewController::textField(const std::string& identifier) const {
    for (const auto& field : allFields_)
        if (field->accessibilityIdentifier() == identifier) return field;
    return nullptr;
}

void CalculateViewController::prepareInputFields() {
    std::vector<ui::View*> views;
    collectSubviews(*view(), views);
    for (ui::View* v : views) registerInputField(*v);
}

void CalculateViewController::registerInputField(ui::View& view) {
    if (typeid(view) != typeid(ui::TextField)) return;
    auto& field = static_cast<ui::TextField&>(view);
    field.setDelegate(this);
    prepareForKeypad(field);
    const auto properties = textFieldProperties();
    for (const auto& [name, held] : properties)
        if (held == &field) {
            field.setAccessibilityIdentifier(name);
            break;
        }
    allFields_.push_back(std::static_pointer_cast<ui::TextField>(field.shared_from_this()));
    allIds_.clear();
    for (const auto& property : properties) allIds_.push_back(property.first);
    std::sort(allIds_.begin(), allIds_.end());
}

void CalculateViewController::styleInputFields() {
    errorManager_.setAllFields(allFields_);
    errorManager_.setRequiredAmountOfFields(requiredAmountOfTextFields_);
    for (const auto& field : allFields_) {
        field->setFloatPlaceholderColor(appDarkOrange());
        field->setFloatPlaceholderActiveColor(appLightOrange());
        field->setHideErrorWhenEditing(true);
        field->setErrorFont(ui::Font::named("HelveticaNeue", 10));
        field->setPaddingYErrorLabel(-12);
        field->setCanShowBorder(true);
        field->setBorderColor(fieldBorderColor());
    }
}

void CalculateViewController::prepareKeypadIcons() {
    deleteButton_->setImage(kit::Icon::arrowBack());
    calculateButton_->setImage(kit::Icon::check());
}

void CalculateViewController::viewWillAppear(bool) {
    if (bannerView) bannerView->setHidden(true);
    bottomBannerConstant_ = bottomSafeAreaInset();
    view()->layoutIfNeeded();
    prepareToolbar();
    errorManager_.updateFieldStates();
}

std::string CalculateViewController::decimalSeparator() {
    const std::string separator = foundation::localizedString("decimalSeparator", ".");
    return separator == "," ? separator : ".";
}

void CalculateViewController::prepareToolbar() {
    kit::ToolbarController* toolbar = kit::toolbarController(*this);
    if (!toolbar) return;
    clearAllButton_ = std::make_shared<kit::IconButton>(foundation::localizedString("Clear"), nearBlackColor());
    clearAllButton_->titleLabel().setFont(ui::Font::loaded("Avenir-Medium", 14).value_or(ui::Font::system(14)));
    // As wide as its title in the language shown ("Löschen" is longer than
    // "Clear"), never narrower than a touch target.
    const double titleWidth =
        graphics::Context::measureText(clearAllButton_->title(), clearAllButton_->titleLabel().font()).width;
    clearAllButton_->setFrame(ui::Rect(0, 0, std::max(48.0, std::ceil(titleWidth) + 16), 48));
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    clearAllButton_->addTarget(ui::ControlEvent::touchUpInside, [weak](ui::Control&) {
        if (auto self = std::static_pointer_cast<CalculateViewController>(weak.lock())) self->clearAll();
    });
    clearAllButton_->setAccessibilityIdentifier(clearButtonIdentifier);
    toolbar->toolbar().setTitle(foundation::localizedString("Calculate Title"));
    toolbar->toolbar().setRightViews({clearAllButton_});
}

void CalculateViewController::viewDidAppear(bool) { RatingViewController::shared().presentIfDue(shared_from_this()); }

void CalculateViewController::viewWillDisappear(bool) { storeCurrentInputs(); }

void CalculateViewController::storeCurrentInputs() {
    std::map<std::string, std::string> inputs;
    for (const auto& field : allFields_)
        if (!field->text().empty() && !field->accessibilityIdentifier().empty())
            inputs[field->accessibilityIdentifier()] = field->text();
    Calculation current;
    current.inputParameters = std::move(inputs);
    CalcManager& store = CalcManager::shared();
    store.setCurrentCalculation(current);
    store.saveCurrentSelectedCalculation();
}

bool CalculateViewController::textFieldShouldBeginEditing(ui::TextField& field) {
    currentTextField_ = &field;
    return true;
}

std::vector<ui::TextField*> CalculateViewController::fieldsSharingCurrentIdentifier() const {
    std::vector<ui::TextField*> fields;
    for (const auto& field : allFields_)
        if (field->accessibilityIdentifier() == currentTextField_->accessibilityIdentifier()) fields.push_back(field.get());
    return fields;
}

void CalculateViewController::putTextSharingIdentifier(const std::string& text) {
    currentTextField_->setText(text);
    for (ui::TextField* field : fieldsSharingCurrentIdentifier()) field->setText(text);
}

void CalculateViewController::insertKeypadValue(const std::string& value) {
    if (isCalculating || !currentTextField_ || !currentTextField_->selectedRange()) return;
    ui::TextField& field = *currentTextField_;
    const ui::TextRange selection = *field.selectedRange();
    const int64_t cursor = selection.location;
    field.replace(selection, "");
    if (field.isFirstResponder()) {
        std::string text = field.text();
        int64_t shift = 1;
        if (value == "-") {
            if (text.find('-') != std::string::npos) {
                text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
                shift = -1;
            } else {
                text.insert(0, "-");
            }
        } else {
            text.insert(ui::utf8Offset(text, cursor), value);
        }
        putTextSharingIdentifier(text);
        // The sign removed before the caret may leave it outside the text.
        const int64_t caret = std::clamp<int64_t>(cursor + shift, 0, ui::utf16Length(text));
        field.setSelectedRange(ui::TextRange{caret, 0});
    }
    errorManager_.updateFieldStates();
}

void CalculateViewController::deleteAtCursor() {
    if (isCalculating || !currentTextField_ || currentTextField_->text().empty() || !currentTextField_->selectedRange())
        return;
    ui::TextField& field = *currentTextField_;
    const int64_t start = field.selectedRange()->location;
    const int64_t end = start + field.selectedRange()->length;
    if (start == 0 && end == 0) return;
    const std::string& text = field.text();
    const int64_t length = ui::utf16Length(text);
    const bool single = start == end;
    const int64_t from = single ? start - 1 : start;
    putTextSharingIdentifier(utf16Substr(text, 0, from) + utf16Substr(text, end, length));
    field.setSelectedRange(ui::TextRange{from, 0});
    errorManager_.updateFieldStates();
}

void CalculateViewController::selectForm(int64_t index) {
    loadViewIfNeeded();
    segmentedControl_->setSelectedSegmentIndex(index);
    if (index == 1)
        modeImageView_->setImage(ui::Image::named("clv_ui_b"));
    else if (index == 0)
        modeImageView_->setImage(ui::Image::named("clv_ui_a"));
    errorManager_.updateFieldStates();
}

void CalculateViewController::showManual() { ManualViewController::show(*this, manualImageName); }

void CalculateViewController::resetFieldBorders() {
    for (const auto& field : errorManager_.allFields()) field->setBorderColor(fieldBorderColor());
}

void CalculateViewController::clearAll() {
    DEDIzurarove::logEventWithName("tapped_clear");
    resetFieldBorders();
    if (isCalculating) return;
    kit::TabsController* tabs = kit::tabsController(*this);
    auto* solution = tabs && tabs->viewControllers().size() > solutionPage
                         ? dynamic_cast<SolutionViewController*>(tabs->viewControllers()[solutionPage].get())
                         : nullptr;
    if (solution)
        solution->clearSolution();
    else
        foundation::NotificationCenter::defaultCenter().post(SolutionViewController::clearNotification);
    for (const auto& field : allFields_) field->setText("");
    basicOperationHelper_.setWithFraction(false);
    outputHelper_.solutionSteps().clear();
    outputHelper_.setSolutionStepCounter(0);
    errorManager_.updateFieldStates();
    CalcManager& store = CalcManager::shared();
    store.setCurrentCalculation(std::nullopt);
    store.saveCurrentSelectedCalculation();
    store.setCurrentSelectedCalculation(std::nullopt);
    store.saveCurrentSelectedCalculation();
    if (tabs) tabs->select(0);
}

std::vector<std::shared_ptr<ui::TextField>> CalculateViewController::fieldsWithIdentifiers(
    const std::vector<std::string>& ids) const {
    std::vector<std::shared_ptr<ui::TextField>> fields;
    for (const auto& field : allFields_)
        if (std::find(ids.begin(), ids.end(), field->accessibilityIdentifier()) != ids.end()) fields.push_back(field);
    return fields;
}

bool CalculateViewController::calculate() {
    isCalculating = true;
    resetFieldBorders();
    std::vector<std::string> texts;
    for (const auto& id : allIds_) {
        auto it = std::find_if(allFields_.begin(), allFields_.end(), [&](const auto& field) {
            return field->accessibilityIdentifier() == id && !field->isHidden();
        });
        texts.push_back(it == allFields_.end() ? "" : (*it)->text());
    }
    // The engine reads decimals with a point; the keypad writes the
    // language's separator (a comma in German), which means the same.
    std::vector<std::string> numbers = texts;
    if (const std::string separator = decimalSeparator(); separator != ".")
        for (std::string& text : numbers)
            for (size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, at + 1))
                text.replace(at, separator.size(), ".");
    const int64_t form = segmentedControl_->selectedSegmentIndex();
    outputHelper_.solutionSteps().clear();
    outputHelper_.setSolutionStepCounter(0);

    KalPowerAndLogarithmicFunction calculator;
    CalculatorResult result =
        calculator.calculate(numbers[0], allIds_[0], numbers[1], allIds_[1], numbers[2], allIds_[2], numbers[3],
                             allIds_[3], numbers[4], allIds_[4], numbers[5], allIds_[5], form);
    if (result.errorKey) {
        // A failure that names no field still reports its key; no field is marked.
        errorManager_.reportInputError(*result.errorKey, fieldsWithIdentifiers(result.faultyFieldIds.value_or(
                                                             std::vector<std::string>{})));
        isCalculating = false;
        return false;
    }
    storeCalculation(texts, result.formulaLatex.value_or(""), form);
    std::vector<std::vector<std::shared_ptr<ChartData>>> charts;
    for (const auto& row : result.chartSteps) charts.emplace_back(row.begin(), row.end());
    // The steps travel in the result; the shared step output is only cleared
    // around the run, as before.
    const std::vector<StepDictionary> steps = result.solutionSteps.value_or(std::vector<StepDictionary>{});
    // A step whose formula is taller than a row of the default height leaves
    // room for gets a row as tall as the formula, so that none is cut.
    std::map<int64_t, double> tallRows;
    for (size_t i = 0; i < steps.size(); ++i)
        if (double height = SolutionStepTableViewCell::rowHeight(steps[i], solutionRowHeight); height > solutionRowHeight)
            tallRows[static_cast<int64_t>(i)] = height;
    showSolution(steps, charts, manualImageName,
                 tallRows.empty() ? std::nullopt : std::optional<std::map<int64_t, double>>(std::move(tallRows)),
                 solutionRowHeight);

    foundation::Value::List stepList;
    for (const auto& step : steps) {
        foundation::Value::Dictionary entry;
        for (const auto& [key, text] : step) entry[key] = text;
        stepList.emplace_back(std::move(entry));
    }
    DEDIzurarove::logEventWithName("kal_calculate", foundation::Value::Dictionary{
                                                        {"solutionSteps", foundation::Value(std::move(stepList))},
                                                        {"solutionStepsCount", static_cast<int64_t>(steps.size())}});
    isCalculating = false;
    basicOperationHelper_.setWithFraction(false);
    outputHelper_.solutionSteps().clear();
    outputHelper_.setSolutionStepCounter(0);
    return true;
}

void CalculateViewController::storeCalculation(const std::vector<std::string>& texts, const std::string& formulaLatex,
                                               int64_t form) {
    Calculation calculation;
    for (size_t i = 0; i < allIds_.size(); ++i) calculation.inputParameters[allIds_[i]] = texts[i];
    calculation.latexString = formulaLatex;
    calculation.setupParameter = {{formSelectionKey, form}, {"appKey", "CLV"}};
    CalcManager::shared().addCalculation(calculation);
}

void CalculateViewController::showSolution(const std::vector<StepDictionary>& steps,
                                           const std::vector<std::vector<std::shared_ptr<ChartData>>>& chartSteps,
                                           const std::string& manualImage,
                                           std::optional<std::map<int64_t, double>> configuredRowHeight, double rowHeight) {
    kit::TabsController* tabs = kit::tabsController(*this);
    if (!tabs || tabs->viewControllers().size() <= solutionPage) return;
    auto* solution = dynamic_cast<SolutionViewController*>(tabs->viewControllers()[solutionPage].get());
    if (!solution) return;
    solution->loadViewIfNeeded();
    solution->setSolutionSteps(steps);
    solution->setChartSteps(chartSteps);
    solution->setManualImageName(manualImage);
    solution->setConfiguredRowHeight(std::move(configuredRowHeight));
    solution->tableView()->setRowHeight(rowHeight);
    if (solution->tableView()->numberOfRowsInSection(0) > 0)
        solution->tableView()->scrollToRow({0, 0}, ui::TableViewScrollPosition::top, false);
    tabs->select(solutionPage);
}
