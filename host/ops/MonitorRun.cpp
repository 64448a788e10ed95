// monitor: reads every source at an interval; each row goes to the screen (or JSON) and to the
// CSV as it is taken, and the SVG is drawn at the end, also after Ctrl-C, from a series of fixed
// size.
#include <cmath>

#include "ops/Commands.h"
#include "output/BoundedSeries.h"
#include "output/Files.h"
#include "output/Output.h"
#include "output/SvgPlot.h"
#include "platform.h"

namespace host {

namespace {

// Points kept per line of the plot (each bucket gives its low and high).
constexpr size_t kPlotBuckets = 500;
// A sample this share of the interval late says that the readings cannot keep up.
constexpr double kLateShare = 0.1;

bool writeText(const std::string& path, const std::string& text) {
    std::FILE* file = plat::openFile(path, "wb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

std::vector<std::string> csvHeader(const std::vector<MonitorChannel>& channels) {
    std::vector<std::string> fields{"time_s"};
    for (const MonitorChannel& c : channels) {
        fields.push_back(c.name + " " + c.kind + " V");
        if (c.currentUnit != nullptr) {
            fields.push_back(c.name + " " + c.kind + " I (" + c.currentUnit + ")");
        }
    }
    return fields;
}

std::vector<std::string> csvRow(const std::vector<MonitorChannel>& channels,
                                const MonitorSample& sample) {
    std::vector<std::string> fields{fixed(sample.time, 3)};
    for (size_t i = 0; i < channels.size(); ++i) {
        fields.push_back(voltsText(sample.volts[i]));
        if (channels[i].currentUnit != nullptr) {
            fields.push_back(voltsText(sample.current[i]));
        }
    }
    return fields;
}

}  // namespace

int runMonitor(Session& s, const MonitorOptions& o) {
    std::vector<MonitorChannel> channels;
    std::vector<PlotLine> lines;
    for (size_t dev = 0; dev < s.devices().size(); ++dev) {
        const Device& d = s.devices()[dev];
        for (uint32_t src = 0; src < d.sources; ++src) {
            const std::string name = "dev" + std::to_string(dev) + "/src" + std::to_string(src);
            channels.push_back({dev, src, name, traits(d.kind).label, traits(d.kind).currentUnit});
            lines.push_back({name + " " + traits(d.kind).label, "V", channels.size() - 1});
        }
    }
    for (size_t i = 0; i < channels.size(); ++i) {
        if (channels[i].currentUnit != nullptr) {
            lines.push_back({channels[i].name, channels[i].currentUnit, i});
        }
    }
    CsvWriter csv;
    if (!o.csvPath.empty() && (!csv.open(o.csvPath) || !csv.writeRow(csvHeader(channels)))) {
        s.err() << "hvsrc-host: cannot write " << o.csvPath << "\n";
        return EXIT_REFUSED;
    }
    const std::string svgProblem = o.svgPath.empty() ? "" : checkWritable(o.svgPath);
    if (!svgProblem.empty()) {
        s.err() << "hvsrc-host: " << svgProblem << "\n";
        return EXIT_REFUSED;
    }
    if (!s.json()) {
        printMonitorHeader(s.out(), channels);
    }

    BoundedSeries series(lines.size(), kPlotBuckets);
    bool slowSaid = false;
    double lastRound = 0.0;
    bool interrupted = false;
    int rc = EXIT_OK;
    const double start = steadyNow();
    for (size_t n = 0; o.count == 0 || n < o.count; ++n) {
        const double due = o.interval * static_cast<double>(n);
        if (o.duration > 0.0 && due > o.duration) {
            break;
        }
        // Samples run late when a round of readings takes longer than the interval.
        if (!slowSaid && n > 0 && steadyNow() - start - due > kLateShare * o.interval) {
            slowSaid = true;
            s.err() << "hvsrc-host: one round of readings takes " << fixed(lastRound, 2)
                    << " s, longer than the interval of " << voltsText(o.interval)
                    << " s: samples follow as fast as the readings allow\n";
        }
        if (!waitUntil(start, due)) {
            interrupted = true;
            break;
        }
        const double roundStart = steadyNow();
        MonitorSample sample;
        sample.time = roundStart - start;
        std::vector<double> values;
        for (const MonitorChannel& c : channels) {
            jd::IHwDevHvSrc* dev = s.devices()[c.dev].dev;
            sample.volts.push_back(dev->readVoltage(c.src));
            // A source that measures no current is not asked.
            sample.current.push_back(c.currentUnit != nullptr ? dev->readCurrent(c.src) : NAN);
            values.push_back(sample.volts.back());
        }
        for (size_t i = 0; i < channels.size(); ++i) {
            if (channels[i].currentUnit != nullptr) {
                values.push_back(sample.current[i]);
            }
        }
        if (s.json()) {
            printMonitorJson(s.out(), channels, sample);
        } else {
            printMonitorRow(s.out(), channels, sample);
        }
        s.out().flush();
        series.add(sample.time, values);
        if (csv.isOpen() && !csv.writeRow(csvRow(channels, sample))) {
            s.err() << "hvsrc-host: cannot write " << o.csvPath << "; monitor stopped\n";
            rc = EXIT_REFUSED;
            break;
        }
        lastRound = steadyNow() - roundStart;
    }
    csv.close();
    if (interrupted) {
        s.err() << "hvsrc-host: interrupted after " << series.samples() << " sample"
                << (series.samples() == 1 ? "" : "s") << "\n";
    }
    if (!o.csvPath.empty()) {
        s.err() << "hvsrc-host: wrote " << o.csvPath << "\n";
    }
    if (!o.svgPath.empty()) {
        if (!writeText(o.svgPath, monitorSvg(series, lines))) {
            s.err() << "hvsrc-host: cannot write " << o.svgPath << "\n";
            return EXIT_REFUSED;
        }
        s.err() << "hvsrc-host: wrote " << o.svgPath << "\n";
    }
    return interrupted ? EXIT_INTERRUPTED : rc;
}

}  // namespace host
