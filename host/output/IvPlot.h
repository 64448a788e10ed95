// The plot of an iv scan: current against voltage, one marker a step with its spread as an
// error bar, a logarithmic current axis when the currents span decades, the compliance as a
// dashed line, and the sensor's name and the start time in the title.
#pragma once

#include <string>
#include <vector>

namespace host {

struct IvPoint {
    double set = 0.0;      // volts set
    double volts = 0.0;    // mean measured voltage
    double current = 0.0;  // mean current, in the plot's unit
    double spread = 0.0;   // standard deviation of the current
};

struct IvPlot {
    std::string title;        // "IV scan of HV Source hv:1 source 0"
    std::string started;      // ISO 8601 UTC
    std::string unit;         // "uA", "mA"
    double compliance = 0.0;  // in `unit`; 0: none
    std::vector<IvPoint> points;
    std::string ending;  // why the scan ended early; empty when it ran to the end
};

std::string ivSvg(const IvPlot& plot);

}  // namespace host
