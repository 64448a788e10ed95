#include "Monitor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace host {

namespace {

std::string number(double value, const char* format = "%.6g") {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + "\"";
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

const char* const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                                "#ff7f0e", "#8c564b", "#e377c2", "#17becf"};

struct Panel {
    double top;
    double height;
    const char* title;
    const char* unit;
    bool current;
};

}  // namespace

std::string monitorCsv(const MonitorSeries& series) {
    std::string out = "time_s";
    for (const std::string& channel : series.channels) {
        out += "," + csvField(channel + " V") + "," + csvField(channel + " I");
    }
    out += "\n";
    for (const MonitorSample& sample : series.samples) {
        out += number(sample.time, "%.3f");
        for (size_t i = 0; i < series.channels.size(); ++i) {
            const double v = i < sample.volts.size() ? sample.volts[i] : 0.0;
            const double a = i < sample.current.size() ? sample.current[i] : 0.0;
            out += "," + number(v) + "," + number(a);
        }
        out += "\n";
    }
    return out;
}

std::string monitorSvg(const MonitorSeries& series) {
    const double width = 900.0;
    const double left = 80.0;
    const double right = 230.0;  // room for the legend
    const double plotWidth = width - left - right;
    const Panel panels[] = {{40.0, 220.0, "Voltage", "V", false},
                            {320.0, 220.0, "Current", "device units", true}};
    const double height = 600.0;

    double tMax = 0.0;
    for (const MonitorSample& s : series.samples) {
        tMax = std::max(tMax, s.time);
    }
    if (tMax <= 0.0) {
        tMax = 1.0;
    }

    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(width) + "\" height=\"" +
           number(height) + "\" viewBox=\"0 0 " + number(width) + " " + number(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + number(width) + "\" height=\"" + number(height) +
           "\" fill=\"white\"/>\n";

    for (const Panel& panel : panels) {
        double lo = 0.0;
        double hi = 0.0;
        bool any = false;
        for (const MonitorSample& s : series.samples) {
            const std::vector<double>& values = panel.current ? s.current : s.volts;
            for (double v : values) {
                if (!std::isfinite(v)) {
                    continue;
                }
                lo = any ? std::min(lo, v) : v;
                hi = any ? std::max(hi, v) : v;
                any = true;
            }
        }
        lo = std::min(lo, 0.0);
        hi = std::max(hi, 0.0);
        if (hi - lo < 1e-9) {
            hi = lo + 1.0;
        }
        const double step = tickStep(hi - lo, 5);
        lo = std::floor(lo / step) * step;
        hi = std::ceil(hi / step) * step;

        auto xOf = [&](double t) { return left + plotWidth * t / tMax; };
        auto yOf = [&](double v) { return panel.top + panel.height * (hi - v) / (hi - lo); };

        svg += "<text x=\"" + number(left) + "\" y=\"" + number(panel.top - 10.0) +
               "\" font-size=\"14\" font-weight=\"bold\">" + panel.title + " (" + panel.unit +
               ")</text>\n";
        svg += "<rect x=\"" + number(left) + "\" y=\"" + number(panel.top) + "\" width=\"" +
               number(plotWidth) + "\" height=\"" + number(panel.height) +
               "\" fill=\"none\" stroke=\"#444\"/>\n";
        for (double v = lo; v <= hi + step * 0.5; v += step) {
            const double y = yOf(v);
            svg += "<line x1=\"" + number(left) + "\" y1=\"" + number(y) + "\" x2=\"" +
                   number(left + plotWidth) + "\" y2=\"" + number(y) +
                   "\" stroke=\"#ddd\"/>\n<text x=\"" + number(left - 6.0) + "\" y=\"" +
                   number(y + 4.0) + "\" text-anchor=\"end\">" + number(v, "%g") + "</text>\n";
        }
        const double tStep = tickStep(tMax, 8);
        for (double t = 0.0; t <= tMax + tStep * 0.5; t += tStep) {
            const double x = xOf(t);
            svg += "<line x1=\"" + number(x) + "\" y1=\"" + number(panel.top + panel.height) +
                   "\" x2=\"" + number(x) + "\" y2=\"" + number(panel.top + panel.height + 5.0) +
                   "\" stroke=\"#444\"/>\n<text x=\"" + number(x) + "\" y=\"" +
                   number(panel.top + panel.height + 18.0) + "\" text-anchor=\"middle\">" +
                   number(t, "%g") + "</text>\n";
        }
        svg += "<text x=\"" + number(left + plotWidth / 2.0) + "\" y=\"" +
               number(panel.top + panel.height + 34.0) +
               "\" text-anchor=\"middle\">time (s)</text>\n";

        for (size_t c = 0; c < series.channels.size(); ++c) {
            std::string points;
            for (const MonitorSample& s : series.samples) {
                const std::vector<double>& values = panel.current ? s.current : s.volts;
                if (c >= values.size() || !std::isfinite(values[c])) {
                    continue;
                }
                points += number(xOf(s.time), "%.2f") + "," + number(yOf(values[c]), "%.2f") + " ";
            }
            const char* colour = kColours[c % (sizeof(kColours) / sizeof(kColours[0]))];
            svg += "<polyline fill=\"none\" stroke=\"" + std::string(colour) +
                   "\" stroke-width=\"2\" points=\"" + points + "\"/>\n";
        }
    }

    for (size_t c = 0; c < series.channels.size(); ++c) {
        const double y = 50.0 + 20.0 * static_cast<double>(c);
        const char* colour = kColours[c % (sizeof(kColours) / sizeof(kColours[0]))];
        svg += "<line x1=\"" + number(width - right + 20.0) + "\" y1=\"" + number(y) + "\" x2=\"" +
               number(width - right + 44.0) + "\" y2=\"" + number(y) + "\" stroke=\"" + colour +
               "\" stroke-width=\"3\"/>\n<text x=\"" + number(width - right + 50.0) + "\" y=\"" +
               number(y + 4.0) + "\">" + xmlText(series.channels[c]) + "</text>\n";
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace host
