#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/KalStringOutput.h"

class KalMathOperation;

// How the input formats are read: one formula template whose "%0", "%1", ...
// take the inputs in order, or one format line per input ("%0" and a unit).
enum class FormatMode { formula = 0, variables = 1 };

// What the variables mode needs to know of a symbol: the LaTeX that replaces
// its key in the format line, and the LaTeX of its unit (already passed
// through the unit table's default-unit replacement).
struct InputSymbol {
    std::string key;
    std::string latex;
    std::string unitLatex;
};

// The symbol look-up of the variables mode. The formula/unit/symbol model
// implements it; without one every look-up finds nothing, which is what the
// empty shared symbol list gives.
class KalInputSymbolLookup {
public:
    virtual ~KalInputSymbolLookup();

    // The first symbol whose subcategory, topic and key equal the given texts.
    virtual std::optional<InputSymbol> findSymbol(const std::string& subcategory, const std::string& topic,
                                                  const std::string& key) const = 0;
};

// Error keys, each the key of a localized message.
namespace InputErrorKey {
inline constexpr const char* notEnoughInputValues = "notEnoughInputValues";
inline constexpr const char* inputParameterError = "inputParameterError";
inline constexpr const char* fractionIncomplete = "fractionIncomplete";
inline constexpr const char* inputZeroInDenominator = "inputZeroInDenominator";
inline constexpr const char* toManyNaturalConstantsInSubstring = "toManyNaturalConstantsInSubstring";
inline constexpr const char* naturalConstantInWrongPositionOfSubstring =
    "naturalConstantInWrongPositionOfSubstring";
inline constexpr const char* toManyVariablesInSubstring = "toManyVariablesInSubstring";
// The double of a typed number gives back other digits than were typed.
inline constexpr const char* inputNumberNotHeld = "inputNumberNotHeld";
// A typed number beyond the double's range, and one so near 0 that the double
// keeps none or too few of its digits (10^{-400}, 3 · 10^{-324}).
inline constexpr const char* inputNumberTooLarge = "inputNumberTooLarge";
inline constexpr const char* inputNumberTooSmall = "inputNumberTooSmall";
}  // namespace InputErrorKey

// The result of processInputs. On error allInputs and solutionSteps are absent.
struct InputProcessingResult {
    std::optional<std::vector<DigitPtr>> allInputs;
    std::optional<std::string> errorKey;
    std::optional<std::vector<int64_t>> faultyTags;
    std::optional<std::vector<std::string>> faultyFieldIds;
    bool isAnyNumberChanged = false;
    std::optional<std::vector<StepDictionary>> solutionSteps;
};

// Turns the texts of the input fields into Digits, checks them, and writes the
// input part of a solution ("Your Input", "Expand", "Cancel (math)",
// "Modified Input"). Only the first error is reported, with the field at fault.
// One instance serves one call; main thread only.
class KalInputManager {
public:
    KalInputManager(KalStringOutput& outputHelper = KalStringOutput::shared(),
                    KalMathOperation* operation = nullptr,
                    std::shared_ptr<const KalInputSymbolLookup> symbolLookup = nullptr);

    // The process-wide instance; calculators make their own instead.
    static KalInputManager& shared();

    InputProcessingResult processInputs(const std::vector<std::string>& texts, const std::vector<int64_t>& tags,
                                        const std::vector<std::string>& fieldIds,
                                        const std::vector<std::string>& formats, bool showInputStep,
                                        bool isAllFractionIfOccuredOnce, bool isDecimalEliminationForced,
                                        FormatMode inputFormatMode, const std::string& subcategory,
                                        const std::string& topic, int64_t requiredAmount, bool allRequired,
                                        const std::vector<std::string>& requiredFieldIds);

    // A number as typed, split into its parts. Exposed for the input checks.
    struct ParsedNumber {
        double value = 0.0;
        NaturalConstants constants;
        std::string variable;
        double power = 0.0;
    };
    struct ParseOutcome {
        std::optional<ParsedNumber> number;
        const char* errorKey = nullptr;  // set exactly when number is absent
    };
    static ParseOutcome parseNumber(const std::string& text);

    // A text that holds nothing but brackets (or nothing at all) counts as empty.
    static bool isEffectivelyEmpty(const std::string& text);

    const std::vector<DigitPtr>& allInputs() const { return allInputs_; }
    const std::vector<std::string>& allTextFieldIds() const { return allTextFieldIds_; }
    const std::vector<std::string>& inputFormat() const { return inputFormat_; }
    const std::vector<InputSymbol>& inputSymbols() const { return inputSymbols_; }
    bool isWithFraction() const { return isWithFraction_; }
    bool isAnyNumberChanged() const { return isAnyNumberChanged_; }

private:
    struct Failure {
        const char* errorKey;
        std::vector<std::string> fieldIds;
    };

    std::optional<Failure> checkAmountOfInputs(int64_t requiredAmount, bool allRequired,
                                               const std::vector<std::string>& requiredFieldIds) const;
    std::optional<Failure> parseInputs();
    void buildInputSymbols();
    void writeInputStep(bool keepSigns);
    // Expands decimals in fractions; steps written from `firstInputStep` on
    // are this run's input steps.
    void eliminateDecimalsFrom(size_t firstInputStep);
    void cancelInputs();
    void normaliseSigns();

    std::string inputLatex(const Digit& digit, bool keepSigns) const;
    std::string unitLatex(size_t index) const;
    KalMathOperation& operation() const;

    KalStringOutput* outputHelper_;
    KalMathOperation* operation_;
    std::shared_ptr<const KalInputSymbolLookup> symbolLookup_;

    bool isTagUsed_ = false;
    std::vector<std::string> allTextFieldIds_;
    std::vector<DigitPtr> allInputs_;
    std::vector<std::string> inputFormat_;
    std::vector<InputSymbol> inputSymbols_;
    std::vector<std::string> allTextFieldTexts_;
    std::string subcategory_;
    std::string topic_;
    FormatMode inputFormatMode_ = FormatMode::formula;
    bool isAllFractionIfOccuredOnce_ = true;
    bool isDecimalEliminationForced_ = false;
    bool isWithFraction_ = false;
    bool isAnyNumberChanged_ = false;
};
