#include "output/SvgPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace host {

namespace {

std::string number(double value, const char* format = "%.6g") {
    return svgNumber(value, format);
}

const char* const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                                "#ff7f0e", "#8c564b", "#e377c2", "#17becf"};

const char* colourOf(size_t n) {
    return kColours[n % (sizeof(kColours) / sizeof(kColours[0]))];
}

constexpr double kWidth = 900.0;
constexpr double kLeft = 80.0;
constexpr double kRight = 250.0;  // room for the legend
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kTop = 40.0;
constexpr double kPanelHeight = 220.0;
constexpr double kPanelGap = 60.0;

// One panel: every line of one unit.
std::string panel(const BoundedSeries& series, const std::vector<PlotLine>& lines,
                  const std::string& unit, double top, double tMax) {
    double lo = 0.0;
    double hi = 0.0;
    for (size_t c = 0; c < lines.size(); ++c) {
        double a = 0.0;
        double b = 0.0;
        if (lines[c].unit == unit && series.range(c, a, b)) {
            lo = std::min(lo, a);
            hi = std::max(hi, b);
        }
    }
    if (hi - lo < 1e-9) {
        hi = lo + 1.0;
    }
    const double step = tickStep(hi - lo, 5);
    lo = std::floor(lo / step) * step;
    hi = std::ceil(hi / step) * step;
    auto xOf = [&](double t) { return kLeft + kPlotWidth * t / tMax; };
    auto yOf = [&](double v) { return top + kPanelHeight * (hi - v) / (hi - lo); };

    const std::string title = unit == "V" ? "Voltage (V)" : "Current (" + xmlText(unit) + ")";
    std::string svg = "<text x=\"" + number(kLeft) + "\" y=\"" + number(top - 10.0) +
                      "\" font-size=\"14\" font-weight=\"bold\">" + title + "</text>\n";
    svg += "<rect x=\"" + number(kLeft) + "\" y=\"" + number(top) + "\" width=\"" +
           number(kPlotWidth) + "\" height=\"" + number(kPanelHeight) +
           "\" fill=\"none\" stroke=\"#444\"/>\n";
    for (double v = lo; v <= hi + step * 0.5; v += step) {
        const double y = yOf(v);
        svg += "<line x1=\"" + number(kLeft) + "\" y1=\"" + number(y) + "\" x2=\"" +
               number(kLeft + kPlotWidth) + "\" y2=\"" + number(y) +
               "\" stroke=\"#ddd\"/>\n<text x=\"" + number(kLeft - 6.0) + "\" y=\"" +
               number(y + 4.0) + "\" text-anchor=\"end\">" + number(v, "%g") + "</text>\n";
    }
    const double tStep = tickStep(tMax, 8);
    const double bottom = top + kPanelHeight;
    for (double t = 0.0; t <= tMax + tStep * 0.5; t += tStep) {
        const double x = xOf(t);
        svg += "<line x1=\"" + number(x) + "\" y1=\"" + number(bottom) + "\" x2=\"" + number(x) +
               "\" y2=\"" + number(bottom + 5.0) + "\" stroke=\"#444\"/>\n<text x=\"" + number(x) +
               "\" y=\"" + number(bottom + 18.0) + "\" text-anchor=\"middle\">" + number(t, "%g") +
               "</text>\n";
    }
    svg += "<text x=\"" + number(kLeft + kPlotWidth / 2.0) + "\" y=\"" + number(bottom + 34.0) +
           "\" text-anchor=\"middle\">time (s)</text>\n";
    for (size_t c = 0; c < lines.size(); ++c) {
        if (lines[c].unit != unit) {
            continue;
        }
        std::string points;
        for (const BoundedSeries::Point& p : series.points(c)) {
            points += number(xOf(p.time), "%.2f") + "," + number(yOf(p.value), "%.2f") + " ";
        }
        svg += "<polyline fill=\"none\" stroke=\"" + std::string(colourOf(lines[c].colour)) +
               "\" stroke-width=\"2\" points=\"" + points + "\"/>\n";
    }
    return svg;
}

}  // namespace

std::string svgNumber(double value, const char* format) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

std::string xmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A "nice" tick step for a span: 1, 2 or 5 times a power of ten, about `ticks` ticks.
double tickStep(double span, int ticks) {
    if (!(span > 0.0)) {
        return 1.0;
    }
    const double raw = span / ticks;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double fraction = raw / power;
    const double nice = fraction < 1.5 ? 1.0 : fraction < 3.5 ? 2.0 : fraction < 7.5 ? 5.0 : 10.0;
    return nice * power;
}

std::string monitorSvg(const BoundedSeries& series, const std::vector<PlotLine>& lines,
                       const std::string& started) {
    std::vector<std::string> units;
    for (const PlotLine& line : lines) {
        if (std::find(units.begin(), units.end(), line.unit) == units.end()) {
            units.push_back(line.unit);
        }
    }
    const size_t panels = std::max<size_t>(units.size(), 1);
    const double height = kTop + static_cast<double>(panels) * (kPanelHeight + kPanelGap);
    const double tMax = series.lastTime() > 0.0 ? series.lastTime() : 1.0;

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kWidth) + "\" height=\"" +
           number(height) + "\" viewBox=\"0 0 " + number(kWidth) + " " + number(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + number(kWidth) + "\" height=\"" + number(height) +
           "\" fill=\"white\"/>\n";
    if (!started.empty()) {
        svg += "<text x=\"" + number(kLeft) + "\" y=\"16\">started " + xmlText(started) +
               " (UTC); time counts from the first sample</text>\n";
    }
    for (size_t u = 0; u < units.size(); ++u) {
        svg += panel(series, lines, units[u],
                     kTop + static_cast<double>(u) * (kPanelHeight + kPanelGap), tMax);
    }
    size_t row = 0;
    for (const PlotLine& line : lines) {
        if (line.unit != "V") {
            continue;
        }
        const double y = 50.0 + 20.0 * static_cast<double>(row++);
        svg += "<line x1=\"" + number(kWidth - kRight + 20.0) + "\" y1=\"" + number(y) +
               "\" x2=\"" + number(kWidth - kRight + 44.0) + "\" y2=\"" + number(y) +
               "\" stroke=\"" + colourOf(line.colour) + "\" stroke-width=\"3\"/>\n<text x=\"" +
               number(kWidth - kRight + 50.0) + "\" y=\"" + number(y + 4.0) + "\">" +
               xmlText(line.label) + "</text>\n";
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace host
