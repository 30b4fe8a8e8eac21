#pragma once

// The state records of the product family's other topic calculators. This
// application runs none of them; they keep the family on one vocabulary of
// fields. Each constructs to its initial state and takes the shared step
// output, arithmetic and input manager (creating them on first use), so every
// calculator works on the same shared objects.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/data/UnitCircleChartData.h"
#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/Fraction.h"
#include "Calvaro/engine/KalInputManager.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "platform/foundation/NumberFormatter.h"

// A Digit field starts blank: no numerator, denominator 1.
inline DigitPtr blankDigit() {
    return Digit::make(std::nullopt, 1.0);
}

// --- Groups of calculators with the same fields -----------------------------

class KalOptionalInputsCalculator {
public:
    KalMathOperation* operation = &KalMathOperation::shared();
    KalStringOutput* output = &KalStringOutput::shared();
    std::optional<std::vector<DigitPtr>> allInputs;
};

class KalAdvancedPowerCalculator : public KalOptionalInputsCalculator {};
class KalSimpleLogarithm : public KalOptionalInputsCalculator {};
class KalSimplePowerCalculator : public KalOptionalInputsCalculator {};
class KalExponentialGrowthAndDecay : public KalOptionalInputsCalculator {};
class KalLogarithmicIdentities : public KalOptionalInputsCalculator {};
class KalBinomialCoefficient : public KalOptionalInputsCalculator {};

class KalInputsCalculator {
public:
    KalMathOperation* operation = &KalMathOperation::shared();
    KalStringOutput* output = &KalStringOutput::shared();
    std::vector<DigitPtr> allInputs;
};

class KalBernoulliFormula : public KalInputsCalculator {};
class KalBernoulliExperiment : public KalInputsCalculator {};

class KalRoundedInputsCalculator : public KalInputsCalculator {
public:
    static constexpr int64_t decimalPlaces = 5;
};

class KalHypothesisTestTypeIError : public KalRoundedInputsCalculator {};
class KalBinomialDistribution : public KalRoundedInputsCalculator {};
class KalCombinatorics : public KalRoundedInputsCalculator {};

class KalGeometryCalculator {
public:
    KalMathOperation* operation = &KalMathOperation::shared();
    KalStringOutput* output = &KalStringOutput::shared();
    foundation::NumberFormatter numberFormatter;
    int64_t solutionStepCounter = 0;
    bool someThingCalculated = false;
    std::map<std::string, DigitPtr> inputParameters;  // a null Digit: no value for that input
};

class KalIsoscelesTriangle : public KalGeometryCalculator {};
class KalRightTriangle : public KalGeometryCalculator {};
class KalSphereCalculator : public KalGeometryCalculator {};
class KalCircularCone : public KalGeometryCalculator {};
class KalPyramid : public KalGeometryCalculator {};
class KalFrustumOfACone : public KalGeometryCalculator {};
class KalFrustumOfAPyramid : public KalGeometryCalculator {};
class KalArbitraryTriangle : public KalGeometryCalculator {};

class KalQuickStochastics {
public:
    KalMathOperation* operation = &KalMathOperation::shared();
    KalStringOutput* output = &KalStringOutput::shared();
    foundation::NumberFormatter numberFormatter;
    std::map<std::string, DigitPtr> inputParameters;
    static constexpr int64_t decimalPlaces = 5;
};

class KalFormulaCalculation {
public:
    KalMathOperation* operation = &KalMathOperation::shared();
    KalStringOutput* output = &KalStringOutput::shared();
    static constexpr int64_t decimalPlaces = 12;
};

// --- Calculators with fields of their own ------------------------------------

class KalLinearEquation {
public:
    KalStringOutput* outputHelper = &KalStringOutput::shared();
    std::optional<std::string> inputM, inputN, inputX1, inputX2, inputY1, inputY2;
    std::optional<int64_t> tagM, tagN, tagX1, tagX2, tagY1, tagY2;
    Fraction x1, x2, y1, y2, m, n;
    bool withFraction = false;
    double divisor = 1.0;
    bool isMOrNChanged = false, isAnyPointChanged = false, isInputChanged = false, isMChanged = false,
         isNChanged = false, isX1Changed = false, isY1Changed = false, isX2Changed = false,
         isY2Changed = false;
};

class KalFactorizeQuadratics {
public:
    struct resultContainer {
        double A1 = 0, A2 = 0, B = 0, C1 = 0, C2 = 0, D = 0;
    };

    KalStringOutput* outputHelper = &KalStringOutput::shared();
    bool withFraction = false;
    std::string inputAText, inputBText, inputCText;
    int64_t inputATag = 0, inputBTag = 0, inputCTag = 0;
    std::optional<double> a, b, c;
    std::optional<std::vector<resultContainer>> allTmps, allResults;
    std::optional<resultContainer> choosenExample;
    bool isA1Example = true;
    bool negativeSqrt = false;
    std::optional<double> divisor;
    bool isAnyNumberChanged = false;
};

class KalACMethod {
public:
    struct resultContainer {
        double A1 = 0, A2 = 0, B = 0, C1 = 0, C2 = 0, D = 0;
    };

    std::string inputAText, inputBText, inputCText;
    int64_t inputATag = 0, inputBTag = 0, inputCTag = 0;
    std::optional<double> a, b, c;
    bool isA1Example = true;
    bool isAnyNumberChanged = false;
    std::optional<std::vector<resultContainer>> allTmps, allResults;
    std::optional<resultContainer> choosenExample;
    KalStringOutput* outputHelper = &KalStringOutput::shared();
    bool withFraction = false;
};

class KalRuleOfProportion {
public:
    KalStringOutput* outputHelper = &KalStringOutput::shared();
    KalInputManager* inputManager = &KalInputManager::shared();
    KalMathOperation* mathOperation = &KalMathOperation::shared();
    bool withFraction = false;
    DigitPtr a = blankDigit(), b = blankDigit(), c = blankDigit(), d = blankDigit();
    std::string inputAText, inputBText, inputCText, inputDText;
    int64_t inputATag = 0, inputBTag = 0, inputCTag = 0, inputDTag = 0;
    int64_t missingInput = 0;
};

class KalPercentageCalculator {
public:
    KalStringOutput* outputHelper = &KalStringOutput::shared();
    KalInputManager* inputManager = &KalInputManager::shared();
    KalMathOperation* mathOperation = &KalMathOperation::shared();
    bool withFraction = false;
    std::string inputFormat;
    int64_t missingInput = 0;
    DigitPtr a = blankDigit(), b = blankDigit(), c = blankDigit(), d = blankDigit();
    std::string inputAText, inputBText, inputCText;
    int64_t inputATag = 0, inputBTag = 0, inputCTag = 0;
};

class KalPythagoras {
public:
    std::optional<int64_t> tagA, tagB, tagC;
    Fraction a, b, c;
    bool negativeSqrt = false;
    std::optional<double> divisor;
    bool isAnyNumberChanged = false;
    KalStringOutput* outputHelper = &KalStringOutput::shared();
    bool withFraction = false;
};

class KalSineCosineTangent {
public:
    KalMathOperation* operation = &KalMathOperation::shared();
    KalStringOutput* output = &KalStringOutput::shared();
    DigitPtr a = blankDigit(), b = blankDigit(), k = blankDigit(), x = blankDigit();
    std::optional<std::vector<DigitPtr>> allInputs;
};

class KalBinomialFormula {
public:
    DigitPtr a = blankDigit(), b = blankDigit(), aHistory = blankDigit(), bHistory = blankDigit();
    std::string inputAText, inputBText;
    int64_t inputATag = 0, inputBTag = 0;
    KalStringOutput* outputHelper = &KalStringOutput::shared();
    bool withFraction = false;
    std::optional<float> divisor;
    bool isAnyNumberChanged = false;
    bool cancelDownDone = false;
    std::vector<StepDictionary> solutionSteps;
    std::optional<int64_t> solutionStepCounter;
    int64_t choosenFormula = 0;
};

class KalSimpleFractionCalculator {
public:
    KalMathOperation* operation = &KalMathOperation::shared();
    KalStringOutput* output = &KalStringOutput::shared();
    std::string inputStringA, inputStringB, inputStringC, inputStringD;
    foundation::NumberFormatter numberFormatter;
    int64_t solutionStepCounter = 0;
    bool withFraction = false;
    DigitPtr a = blankDigit(), b = blankDigit(), c = blankDigit(), d = blankDigit(), ab = blankDigit(),
             cd = blankDigit();
};

class KalReduceFraction {
public:
    bool withFraction = false;
    std::optional<double> divisor;
    int64_t maximumFractionDigits = 10;
    std::optional<std::string> inputString;
    std::string inputStringA, inputStringB;
    foundation::NumberFormatter numberFormatter;
    int64_t solutionStepCounter = 0;
};

class KalUnitCircle {
public:
    KalMathOperation* operation = &KalMathOperation::shared();
    KalStringOutput* output = &KalStringOutput::shared();
    std::string inputStringAlpha, inputStringB;
    foundation::NumberFormatter numberFormatter;
    int64_t solutionStepCounter = 0;
    bool withFraction = false;
    DigitPtr alpha = blankDigit(), b = blankDigit();
    std::shared_ptr<UnitCircleChartData> unitCircleChartData =
        std::make_shared<UnitCircleChartData>(0.0, 0.0, 0.0, 0, Quadrant::first);
};

class KalFindX {
public:
    // One number of the term being solved.
    struct Digit {
        double value = 0;
        std::optional<int64_t> index;
        int64_t mathOperator = 0;
        bool isNegative = false;
        std::optional<int64_t> instanceIndex;
        bool isRight = false;
        int64_t powerOfVariable = 0;
        bool isDenominator = false;
        std::optional<int64_t> fractionIndex;
    };
    // One bracketed sub-term.
    struct Instance {
        int64_t index = 0;
        int64_t level = 0;
        std::optional<int64_t> surroundingInstanceIndex;
        int64_t leftOperation = 0;
        bool isNegative = false;
        std::optional<int64_t> operationInstancePartnerIndex;
        std::optional<int64_t> operationDigitPartnerIndex;
        bool hasRightOperation = false;
        bool isRight = false;
        bool isProcessed = false;
    };

    KalStringOutput* outputHelper = &KalStringOutput::shared();
    KalInputManager* inputManager = &KalInputManager::shared();
    KalMathOperation* mathOperation = &KalMathOperation::shared();
    bool withFraction = false;
    std::map<int64_t, Digit> allDigits;
    int64_t firstDigitIndexForRight = 0;
    std::map<int64_t, Instance> allInstances;
    int64_t firstInstanceIndexForRight = 0;
    std::string inputLeftText, inputRightText;
    int64_t inputLeftTag = 0, inputRightTag = 0;
    std::string leftTerm, rightTerm, lastShownTerm;
    std::optional<float> divisor;
    int64_t fractionIndexCounter = 0;
    std::optional<bool> isDotInDigitAlready;
    bool isOpeningBrackingAppeared = false;
    bool isXAllowed = true;
    bool isPlusOperatorAllowed = false;
    std::optional<int64_t> bracketCounter, operatorCounter;
    bool isError = false, isFinished = false;
};

class KalPQFormula {
public:
    KalStringOutput* outputHelper = &KalStringOutput::shared();
    KalMathOperation* operation = &KalMathOperation::shared();
    bool withFraction = false;
    std::string inputPText, inputQText;
    int64_t inputPTag = 0, inputQTag = 0;
    Fraction p, q;
    bool negativeSqrt = false;
    std::optional<double> divisor;
    bool isAnyNumberChanged = false;
    bool cancelDownDone = false;
    std::vector<StepDictionary> solutionSteps;
    std::optional<int64_t> solutionStepCounter;
};
