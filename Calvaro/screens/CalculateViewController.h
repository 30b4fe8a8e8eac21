#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Calvaro/charts/data/ChartData.h"
#include "Calvaro/screens/ErrorManager.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "platform/kit/Buttons.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/TextField.h"
#include "platform/ui/ViewController.h"

// True while a calculation runs on the stack; the keypad, delete, Clear,
// Calculate and the toolbar's menu button do nothing meanwhile. Main thread only.
inline bool isCalculating = false;

// Base of the two tab screens: a banner that nothing fills and that is
// hidden whenever the screen is about to be shown.
class AdHandlingViewController : public ui::ViewController {
public:
    std::shared_ptr<ui::View> bannerView;
};

// The Calculate screen (page 0 of the tabs): the function form, six
// parameter fields filled from the application's own keypad, Calculate,
// Clear and the manual.
class CalculateViewController : public AdHandlingViewController, public ui::TextFieldDelegate {
public:
    static constexpr const char* clearButtonIdentifier = "toolbarRemoveButton";
    static constexpr const char* manualImageName = "clv_info";
    // The keypad's decimal key in the language shown: "." or ",". Both it and
    // "." are read as the decimal point.
    static std::string decimalSeparator();
    static constexpr double solutionRowHeight = 100.0;

    CalculateViewController();
    ~CalculateViewController() override;

    void loadView() override;
    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;

    bool textFieldShouldBeginEditing(ui::TextField& field) override;

    // The layout's outlets.
    ui::Label* fillInLabel() const { return fillInLabel_.get(); }
    ui::SegmentedControl* segmentedControl() const { return segmentedControl_.get(); }
    ui::ImageView* modeImageView() const { return modeImageView_.get(); }
    ui::StackView* keypadStackView() const { return keypadStackView_.get(); }
    kit::FlatButton* deleteButton() const { return deleteButton_.get(); }
    kit::FlatButton* calculateButton() const { return calculateButton_.get(); }
    kit::FABButton* manualButton() const { return manualButton_.get(); }
    kit::IconButton* clearAllButton() const { return clearAllButton_.get(); }
    double bottomBannerConstant() const { return bottomBannerConstant_; }
    // The field of a parameter ("aTextField" ... "zTextField"), or null.
    std::shared_ptr<ui::TextField> textField(const std::string& identifier) const;

    ui::TextField* currentTextField() const { return currentTextField_; }
    const std::vector<std::shared_ptr<ui::TextField>>& allFields() const { return allFields_; }
    const std::vector<std::string>& allIds() const { return allIds_; }
    int64_t requiredAmountOfTextFields() const { return requiredAmountOfTextFields_; }

    // The actions.
    void insertKeypadValue(const std::string& value);
    void deleteAtCursor();
    void selectForm(int64_t index);
    void showManual();
    void clearAll();
    // Runs the calculator on the fields; true on success.
    bool calculate();

    // Fills the Solution screen of the enclosing tabs and selects it.
    void showSolution(const std::vector<StepDictionary>& steps,
                      const std::vector<std::vector<std::shared_ptr<ChartData>>>& chartSteps,
                      const std::string& manualImage, std::optional<std::map<int64_t, double>> configuredRowHeight,
                      double rowHeight);

    // Keeps the typed texts as the history's current calculation.
    void storeCurrentInputs();

private:
    void buildLayout(ui::View& root);
    void prepareInputFields();
    void registerInputField(ui::View& view);
    void styleInputFields();
    void prepareKeypadIcons();
    void prepareToolbar();
    void applySetupParameter(const foundation::Value::Dictionary& setupParameter);
    void fillFields(const std::map<std::string, std::string>& inputParameters);
    void putTextSharingIdentifier(const std::string& text);
    std::vector<ui::TextField*> fieldsSharingCurrentIdentifier() const;
    std::vector<std::shared_ptr<ui::TextField>> fieldsWithIdentifiers(const std::vector<std::string>& ids) const;
    void resetFieldBorders();
    void storeCalculation(const std::vector<std::string>& texts, const std::string& formulaLatex, int64_t form);
    // The stored properties whose names end in "TextField" (but not "current..."), in declaration order.
    std::vector<std::pair<std::string, ui::TextField*>> textFieldProperties() const;

    std::shared_ptr<ui::Label> fillInLabel_;
    std::shared_ptr<kit::FABButton> manualButton_;
    std::shared_ptr<ui::View> bannerBackgroundView_;
    double bottomBannerConstant_ = 0;
    std::shared_ptr<kit::IconButton> clearAllButton_;
    std::shared_ptr<ui::SegmentedControl> segmentedControl_;
    std::shared_ptr<ui::ImageView> modeImageView_;
    std::shared_ptr<ui::StackView> keypadStackView_;
    std::shared_ptr<ui::TextField> aTextField_, bTextField_, cTextField_, dTextField_, xTextField_, zTextField_;
    std::shared_ptr<kit::FlatButton> deleteButton_;
    std::shared_ptr<kit::FlatButton> calculateButton_;
    KalStringOutput& outputHelper_;
    KalMathOperation& basicOperationHelper_;
    ErrorManager& errorManager_;
    ui::TextField* currentTextField_ = nullptr;
    int64_t requiredAmountOfTextFields_ = 0;
    std::vector<std::shared_ptr<ui::TextField>> allFields_;
    std::vector<std::string> allIds_;
};

// Connects the input error checker and the rating prompt to the analytics
// interface, toast, alerts, colours and internet check of the screens.
void installServiceOutlets();
