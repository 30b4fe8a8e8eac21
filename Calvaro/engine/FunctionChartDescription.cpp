#include "Calvaro/engine/FunctionChartDescription.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "Calvaro/engine/LocalizedString.h"

namespace {

using Points = std::vector<ChartPoint>;
using Chart = std::vector<std::vector<std::shared_ptr<CommonSplineChartData>>>;

// Samples f on [start, end) with step h, keeping the points whose y is finite
// and within the band |y| <= limit. Each x is computed from the start, not by
// adding up steps. A range of more samples than the bound is sampled with a
// larger step over the same range.
Points sample(double start, double end, double step, double limit, const std::function<double(double)>& f) {
    Points points;
    if (!std::isfinite(start) || !std::isfinite(end) || !(start < end)) return points;
    const int64_t bound = FunctionChartDescription::maximumSamplesPerSeries;
    if ((end - start) / step > static_cast<double>(bound)) step = (end - start) / static_cast<double>(bound);
    points.reserve(static_cast<size_t>(std::min((end - start) / step + 2, static_cast<double>(bound) + 1)));
    for (int64_t i = 0; i <= bound; ++i) {
        const double x = start + static_cast<double>(i) * step;
        if (!(x < end)) break;
        const double y = f(x);
        if (std::isfinite(y) && std::fabs(y) <= limit) points.push_back({x, y});
    }
    return points;
}

// Whether u and v differ by no more than the rounding of the sampling.
bool isWithinRounding(double u, double v) {
    return std::fabs(u - v) <= 1e-9 * std::max({1.0, std::fabs(u), std::fabs(v)});
}

std::shared_ptr<CommonSplineChartData> series(const std::string& title, const std::string& name,
                                              const std::string& colour, Points points) {
    auto data = std::make_shared<CommonSplineChartData>();
    data->frameRatio = 1.0;
    data->chartTitle = title;
    data->dataName = name;
    data->chartColorHexCode = colour;
    data->dataSet = std::move(points);
    data->lengthOfGraph = 20.0;
    return data;
}

// Lets the curve that starts beside its asymptote begin at the far edge of
// the other curve's band, so both reach the same height.
void stretchFirstPoint(Points& points, const Points& other, double start) {
    if (points.empty() || other.empty()) return;
    const double last = other.back()[1];
    if (std::fabs(points.front()[1]) < last) points.front() = {start, -last};
}

}  // namespace

FunctionChartDescription::FunctionChartDescription(const std::vector<DigitPtr>& inputs) : inputs_(inputs) {}

Chart FunctionChartDescription::makeChartData(int64_t mode) {
    for (const size_t position : {0, 1, 2, 3, 5}) {
        if (position >= inputs_.size() || !inputs_[position] || !inputs_[position]->value()) return {};
    }
    // Read once, not copied into a Digit per sample.
    coefficients_ = {chartValue(0), chartValue(1), chartValue(2), chartValue(3), chartValue(5)};
    log2OfA_ = std::log2(std::fabs(coefficients_.a));
    return mode == 0 ? logarithmicChart() : exponentialChart();
}

double FunctionChartDescription::chartValue(size_t position) const {
    // A subnormal value lies far below anything a chart can show, and every
    // sample computed with it would take the processor's slow path for such
    // numbers (a z of 1e-312 made 20,000 samples cost over a millisecond).
    const double value = *inputs_[position]->value();
    return std::fpclassify(value) == FP_SUBNORMAL ? 0.0 : value;
}

double FunctionChartDescription::powerOfA(double e) const {
    // Far outside the double range the answer is known without asking pow,
    // whose overflow handling costs more than the power itself; a sampled
    // range of 10,000 points may lie entirely out there.
    const double binaryExponent = e * log2OfA_;
    const double a = coefficients_.a;
    if (a < 0) return std::pow(a, e);  // the sign of the power depends on e
    if (binaryExponent > 1100) return std::numeric_limits<double>::infinity();
    if (binaryExponent < -1100) return 0.0;
    return std::pow(a, e);
}

Chart FunctionChartDescription::logarithmicChart() const {
    const auto& k = coefficients_;
    const double a = k.a, b = k.b, c = k.c, d = k.d, z = k.z;
    if (b == 0) return {};
    const double lnA = std::log(a);
    auto logA = [lnA](double u) { return std::log(u) / lnA; };

    const double q = c / b;
    const double s = 0.01 - q;
    const double e = 3 - q;

    const double inverseStart = std::min(s, -2.0);
    const Points inverse = sample(inverseStart, std::max(3.0, e), 0.1, std::fabs(q) + 5, [&](double x) {
        const double exponent = (1 / z) * x - d / z;
        return (1 / b) * powerOfA(exponent) - q;
    });

    const double functionStart = (s > -2 && !std::isnan(logA(-2 * b + c))) ? -2 : s;
    const double functionEnd = !std::isnan(logA(3 * b + c)) ? std::max(3.0, e) : e;
    Points function = sample(functionStart, functionEnd, 0.01, std::fabs(d) + 5,
                             [&](double x) {
                                 if (isWithinRounding(b * x, -c)) return std::nan("");  // the asymptote
                                 return logA(b * x + c) * z + d;
                             });

    stretchFirstPoint(function, inverse, functionStart);
    const std::string& inverseName = LocalizedString::inverseFunction();
    return {{series("Log", "Log", "#123456", std::move(function)),
             series("Log", inverseName, "#FF4442", inverse)}};
}

Chart FunctionChartDescription::exponentialChart() const {
    const auto& k = coefficients_;
    const double a = k.a, b = k.b, c = k.c, d = k.d, z = k.z;
    const double lnA = std::log(a);
    auto logA = [lnA](double u) { return std::log(u) / lnA; };

    const double s = d + 0.01;
    const double e = d + 3;
    const bool tDefined = !std::isnan(logA((1 / z) * -2 - d / z));

    const Points function = sample(std::min(s, -2.0), std::max(3.0, e), 0.1, std::fabs(d) + 5,
                                   [&](double x) { return z * powerOfA(x * b + c) + d; });

    double inverseStart = s;
    double inverseEnd = e;
    if (s > -2) {
        if (tDefined) {
            inverseStart = -2;
            inverseEnd = std::max(3.0, e);
        }
    } else if (tDefined) {
        inverseEnd = 3;
    }
    // x = d is the inverse's asymptote; a sample that lands on it within
    // rounding would take the logarithm of a rounding residue such as 2e-16.
    Points inverse = sample(inverseStart, inverseEnd, 0.01, std::fabs(c / b) + 5, [&](double x) {
        if (isWithinRounding(x, d)) return std::nan("");
        return (1 / b) * logA((1 / z) * x - d / z) - c / b;
    });

    stretchFirstPoint(inverse, function, inverseStart);
    const std::string& inverseName = LocalizedString::inverseFunction();
    return {{series("Exp", "Exp", "#123456", function),
             series(inverseName, inverseName, "#FF4442", std::move(inverse))}};
}
