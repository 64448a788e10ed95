#include "output/IvPlot.h"

#include <algorithm>
#include <cmath>

#include "output/SvgPlot.h"

namespace host {

namespace {

constexpr double kWidth = 860.0;
constexpr double kHeight = 560.0;
constexpr double kLeft = 90.0;
constexpr double kRight = 30.0;
constexpr double kTop = 78.0;
constexpr double kBottom = 62.0;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kPlotHeight = kHeight - kTop - kBottom;
// Currents whose largest is this many times their smallest (above 0) go on a log axis.
constexpr double kLogSpan = 100.0;
const char* const kPointColour = "#1f4e99";
const char* const kComplianceColour = "#c0392b";

std::string line(double x1, double y1, double x2, double y2, const std::string& style) {
    return "<line x1=\"" + svgNumber(x1, "%.2f") + "\" y1=\"" + svgNumber(y1, "%.2f") + "\" x2=\"" +
           svgNumber(x2, "%.2f") + "\" y2=\"" + svgNumber(y2, "%.2f") + "\" " + style + "/>\n";
}

std::string text(double x, double y, const std::string& body, const std::string& attributes) {
    return "<text x=\"" + svgNumber(x, "%.2f") + "\" y=\"" + svgNumber(y, "%.2f") + "\" " +
           attributes + ">" + xmlText(body) + "</text>\n";
}

// A decade's label: plain for 0.001 to 1000, else as a power of ten.
std::string decadeLabel(int power) {
    if (power >= -3 && power <= 3) {
        return svgNumber(std::pow(10.0, power), "%g");
    }
    return "1e" + std::to_string(power);
}

// The current axis: linear from 0 (or below, for negative currents), or in decades.
struct Axis {
    bool log = false;
    double lo = 0.0, hi = 1.0;  // values, or powers of ten on a log axis
    double at(double value) const {
        const double v = log ? std::log10(std::max(value, std::pow(10.0, lo))) : value;
        return kTop + kPlotHeight * (hi - v) / (hi - lo);
    }
};

Axis currentAxis(const IvPlot& plot) {
    double smallest = 0.0, largest = 0.0, low = 0.0, high = plot.compliance;
    for (const IvPoint& p : plot.points) {
        const double size = std::fabs(p.current);
        if (size > 0.0 && (smallest == 0.0 || size < smallest)) {
            smallest = size;
        }
        largest = std::max(largest, size);
        low = std::min(low, p.current - p.spread);
        high = std::max(high, p.current + p.spread);
    }
    Axis axis;
    if (smallest > 0.0 && std::max(largest, plot.compliance) / smallest >= kLogSpan) {
        axis.log = true;
        axis.lo = std::floor(std::log10(smallest));
        axis.hi = std::ceil(std::log10(std::max(largest, plot.compliance) * 1.01));
        axis.hi = std::max(axis.hi, axis.lo + 1.0);
        return axis;
    }
    if (high - low < 1e-12) {
        high = low + 1.0;
    }
    const double step = tickStep(high - low, 6);
    axis.lo = std::floor(low / step) * step;
    axis.hi = std::ceil(high * 1.02 / step) * step;
    return axis;
}

}  // namespace

std::string ivSvg(const IvPlot& plot) {
    double vLo = 0.0, vHi = 0.0;
    for (const IvPoint& p : plot.points) {
        vLo = std::min(vLo, p.volts);
        vHi = std::max(vHi, p.volts);
    }
    if (vHi - vLo < 1e-9) {
        vHi = vLo + 1.0;
    }
    const double vStep = tickStep(vHi - vLo, 8);
    vLo = std::floor(vLo / vStep) * vStep;
    vHi = std::ceil(vHi / vStep) * vStep;
    const auto xOf = [&](double v) { return kLeft + kPlotWidth * (v - vLo) / (vHi - vLo); };
    const Axis axis = currentAxis(plot);
    const double bottom = kTop + kPlotHeight;
    const std::string unit = plot.unit;

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + svgNumber(kWidth) +
           "\" height=\"" + svgNumber(kHeight) + "\" viewBox=\"0 0 " + svgNumber(kWidth) + " " +
           svgNumber(kHeight) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + svgNumber(kWidth) + "\" height=\"" +
           svgNumber(kHeight) + "\" fill=\"white\"/>\n";
    svg += text(kLeft, 26.0, plot.title, "font-size=\"17\" font-weight=\"bold\"");
    std::string sub = "started " + plot.started + " UTC, " + std::to_string(plot.points.size()) +
                      " step" + (plot.points.size() == 1 ? "" : "s");
    if (!plot.ending.empty()) {
        sub += "; ended early: " + plot.ending;
    }
    svg += text(kLeft, 46.0, sub, "fill=\"#444\"");

    // Grid and current axis.
    if (axis.log) {
        for (int power = static_cast<int>(axis.lo); power <= static_cast<int>(axis.hi); ++power) {
            const double y = axis.at(std::pow(10.0, power));
            svg += line(kLeft, y, kLeft + kPlotWidth, y, "stroke=\"#ccc\"");
            svg += text(kLeft - 8.0, y + 4.0, decadeLabel(power), "text-anchor=\"end\"");
            for (int m = 2; m <= 9 && power < static_cast<int>(axis.hi); ++m) {
                const double minor = axis.at(m * std::pow(10.0, power));
                svg += line(kLeft, minor, kLeft + kPlotWidth, minor, "stroke=\"#eee\"");
            }
        }
    } else {
        const double step = tickStep(axis.hi - axis.lo, 6);
        for (double v = axis.lo; v <= axis.hi + step * 0.5; v += step) {
            const double y = axis.at(v);
            svg += line(kLeft, y, kLeft + kPlotWidth, y, "stroke=\"#ddd\"");
            svg += text(kLeft - 8.0, y + 4.0, svgNumber(std::fabs(v) < step * 1e-6 ? 0.0 : v, "%g"),
                        "text-anchor=\"end\"");
        }
    }
    for (double v = vLo; v <= vHi + vStep * 0.5; v += vStep) {
        const double x = xOf(v);
        svg += line(x, kTop, x, bottom, "stroke=\"#eee\"");
        svg += line(x, bottom, x, bottom + 5.0, "stroke=\"#444\"");
        svg += text(x, bottom + 19.0, svgNumber(std::fabs(v) < vStep * 1e-6 ? 0.0 : v, "%g"),
                    "text-anchor=\"middle\"");
    }
    svg += "<rect x=\"" + svgNumber(kLeft) + "\" y=\"" + svgNumber(kTop) + "\" width=\"" +
           svgNumber(kPlotWidth) + "\" height=\"" + svgNumber(kPlotHeight) +
           "\" fill=\"none\" stroke=\"#444\"/>\n";
    svg += text(kLeft + kPlotWidth / 2.0, kHeight - 18.0, "bias voltage (V), measured",
                "text-anchor=\"middle\" font-size=\"13\"");
    const std::string yTitle = std::string(axis.log ? "|leakage current|" : "leakage current") +
                               " (" + unit + ")" + (axis.log ? ", log scale" : "");
    svg += "<text transform=\"translate(24," + svgNumber(kTop + kPlotHeight / 2.0, "%.2f") +
           ") rotate(-90)\" text-anchor=\"middle\" font-size=\"13\">" + xmlText(yTitle) +
           "</text>\n";

    // The compliance, then the scan: a line through the means, error bars, markers.
    if (plot.compliance > 0.0) {
        const double y = axis.at(plot.compliance);
        svg += line(kLeft, y, kLeft + kPlotWidth, y,
                    "stroke=\"" + std::string(kComplianceColour) +
                        "\" stroke-width=\"1.5\" stroke-dasharray=\"8,5\"");
        svg += text(kLeft + 8.0, y - 6.0,
                    "compliance " + svgNumber(plot.compliance, "%g") + " " + unit,
                    "fill=\"" + std::string(kComplianceColour) + "\"");
    }
    const auto yOf = [&](double current) {
        return axis.at(axis.log ? std::fabs(current) : current);
    };
    std::string points;
    for (const IvPoint& p : plot.points) {
        if (axis.log && p.current == 0.0) {
            continue;  // no place on a log axis
        }
        points += svgNumber(xOf(p.volts), "%.2f") + "," + svgNumber(yOf(p.current), "%.2f") + " ";
    }
    svg += "<polyline fill=\"none\" stroke=\"" + std::string(kPointColour) +
           "\" stroke-width=\"1.5\" points=\"" + points + "\"/>\n";
    for (const IvPoint& p : plot.points) {
        if (axis.log && p.current == 0.0) {
            continue;
        }
        const double x = xOf(p.volts);
        if (p.spread > 0.0) {
            const double size = axis.log ? std::fabs(p.current) : p.current;
            const double top = axis.at(size + p.spread);
            const double low = axis.at(size - p.spread);
            svg += line(x, top, x, low, "stroke=\"" + std::string(kPointColour) + "\"");
        }
        // The step that ended a scan early stands out.
        const bool last = &p == &plot.points.back() && !plot.ending.empty();
        svg += "<circle cx=\"" + svgNumber(x, "%.2f") + "\" cy=\"" +
               svgNumber(yOf(p.current), "%.2f") + "\" r=\"" + (last ? "5" : "3.5") + "\" fill=\"" +
               (last ? kComplianceColour : kPointColour) + "\"/>\n";
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace host
