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

// Shared by the plots: a number in an SVG attribute or label, text made safe for XML, and a
// "nice" tick step (1, 2 or 5 times a power of ten) giving about `ticks` ticks over `span`.
std::string svgNumber(double value, const char* format = "%.6g");
std::string xmlText(const std::string& text);
double tickStep(double span, int ticks);

}  // namespace host
