#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Calvaro/charts/data/CommonSplineChartData.h"
#include "Calvaro/engine/Digit.h"

// Samples a function of the calculator and its inverse in floating point and
// describes them as one spline chart of two series, [function, inverse].
class FunctionChartDescription {
public:
    // Above this many samples a series is sampled more coarsely over the same
    // range, so that huge |d| or |c/b| cannot make billions of points.
    static constexpr int64_t maximumSamplesPerSeries = 10000;

    explicit FunctionChartDescription(const std::vector<DigitPtr>& inputs);

    // Mode 0 the logarithmic form, any other mode the exponential form. Empty
    // when mode 0 has b = 0 or an input lacks a value.
    std::vector<std::vector<std::shared_ptr<CommonSplineChartData>>> makeChartData(int64_t mode);

private:
    std::vector<std::vector<std::shared_ptr<CommonSplineChartData>>> logarithmicChart() const;
    std::vector<std::vector<std::shared_ptr<CommonSplineChartData>>> exponentialChart() const;

    // The value of the input at `position` as the samples use it.
    double chartValue(size_t position) const;
    // a raised to e, read as a value.
    double powerOfA(double e) const;

    // The values of a, b, c, d and z as the samples use them.
    struct Coefficients {
        double a = 0.0, b = 0.0, c = 0.0, d = 0.0, z = 0.0;
    };

    const std::vector<DigitPtr>& inputs_;
    Coefficients coefficients_;
    double log2OfA_ = 0.0;   // log2 |a|
};
