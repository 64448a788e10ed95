// Time series of every source's voltage and current, written as CSV and drawn as an SVG plot.
#pragma once

#include <string>
#include <vector>

namespace host {

struct MonitorSample {
    double time = 0.0;            // seconds since the first sample
    std::vector<double> volts;    // one per channel
    std::vector<double> current;  // one per channel
};

struct MonitorSeries {
    std::vector<std::string> channels;  // "dev0/src0 HV Source", ...
    std::vector<MonitorSample> samples;
};

// "time_s,<channel> V,<channel> I,..." then one row a sample.
std::string monitorCsv(const MonitorSeries& series);
// Two stacked plots (voltage, current) over time with axes, ticks and a legend.
std::string monitorSvg(const MonitorSeries& series);

}  // namespace host
