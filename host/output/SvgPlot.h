// The monitor's plot: one panel per unit (voltage, then each current unit) over time, with axes,
// ticks and a legend, drawn from a BoundedSeries so its size does not grow with the run.
#pragma once

#include <string>
#include <vector>

#include "output/BoundedSeries.h"

namespace host {

// What one channel of the series is: its legend text, its unit (which panel it goes in) and its
// colour number (the same for a source's voltage and current).
struct PlotLine {
    std::string label;
    std::string unit;
    size_t colour = 0;
};

// `started`: the wall-clock time of the first sample (ISO 8601 UTC), shown above the panels.
std::string monitorSvg(const BoundedSeries& series, const std::vector<PlotLine>& lines,
                       const std::string& started);

}  // namespace host
