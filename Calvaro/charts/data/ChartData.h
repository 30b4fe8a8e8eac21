#pragma once

#include <array>
#include <memory>
#include <vector>

// Base of every chart description. A description is plain data: the producer
// creates it and sets every field; the chart views read it once while they build.
class ChartData {
public:
    virtual ~ChartData();

    // Width divided by height of the chart view the description asks for.
    double frameRatio = 0.0;
};

// One chart row is a list of descriptions; a solution holds a list of rows.
// Descriptions are shared between the producer and the screens, never copied.
using ChartRow = std::vector<std::shared_ptr<ChartData>>;

// A point of a data series: [x, y]. A fixed pair, not a vector: a chart holds
// up to 20,000 of them, and an allocation each cost more than the sampling.
using ChartPoint = std::array<double, 2>;
