#pragma once

#include <optional>
#include <string>

// The calculation types of the product family. Each belongs to one family
// application, named by its code; this application owns `powerAndLogarithmicFunction`.
enum class CalculationType : int {
    linearFunction = 0,
    quadraticFunction = 1,
    cubicFunction = 2,
    polynomialDivision = 3,
    rationalFunction = 4,
    trigonometricFunction = 5,
    unitCircle = 6,
    rightTriangle = 7,
    generalTriangle = 8,
    circle = 9,
    rectangle = 10,
    square = 11,
    trapezoid = 12,
    parallelogram = 13,
    rhombus = 14,
    cuboid = 15,
    cylinder = 16,
    cone = 17,
    pyramid = 18,
    sphere = 19,
    prism = 20,
    percentage = 21,
    powerAndLogarithmicFunction = 22,
    exponentialGrowth = 23,
    interest = 24,
    fractions = 25,
    linearSystem = 26,
    matrix = 27,
    vector = 28,
    binomialDistribution = 29,
    normalDistribution = 30,
    probabilityTree = 31,
    statistics = 32,
    unitConversion = 33,
};

inline constexpr int kCalculationTypeCount = 34;

// The code of the family application owning `type` ("CLV" for this one).
std::string appCode(CalculationType type);

// The device's language when the family supports it, else "en".
std::string supportedLanguage();
