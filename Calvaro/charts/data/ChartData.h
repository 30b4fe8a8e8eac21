#pragma once

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

// A point of a data series: [x, y].
using ChartPoint = std::vector<double>;
