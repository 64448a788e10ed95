// monitor: reads every source at an interval; each row goes to the screen (or JSON) and to the
// CSV as it is taken, and the SVG is drawn at the end, also after a stop, from a series of fixed
// size. A source that gives no reading has no value in the row (never a 0): the table says "no
// answer", the CSV leaves its cells empty and gives the reason in its status column, and the
// error stream says when it stops answering and when it answers again.
#include <algorithm>
#include <cmath>

#include "ops/Alarms.h"
#include "ops/Commands.h"
#include "ops/Sources.h"
#include "output/BoundedSeries.h"
#include "output/Files.h"
#include "output/Json.h"
#include "output/Output.h"
#include "output/SvgPlot.h"
#include "platform.h"

namespace host {

namespace {

// Points kept per line of the plot (each bucket gives its low and high).
constexpr size_t kPlotBuckets = 500;
// A sample this share of the interval late says that the readings cannot keep up.
constexpr double kLateShare = 0.1;
// While a source ramps down after a trip, the wait between samples wakes this often to step it.
constexpr double kTripLookSeconds = 0.1;

std::vector<std::string> csvHeader(const std::vector<MonitorChannel>& channels) {
    std::vector<std::string> fields{"time_s", "time_utc"};
    for (const MonitorChannel& c : channels) {
        fields.push_back(c.name + " " + c.kind + " V");
        if (c.currentUnit != nullptr) {
            fields.push_back(c.name + " " + c.kind + " I (" + c.currentUnit + ")");
        }
        fields.push_back(c.name + " status");
    }
    return fields;
}

std::vector<std::string> csvRow(const std::vector<MonitorChannel>& channels,
                                const MonitorSample& sample) {
    std::vector<std::string> fields{fixed(sample.time, 3), sample.utc};
    for (size_t i = 0; i < channels.size(); ++i) {
        const bool ok = sample.errors[i].empty();
        fields.push_back(ok ? voltsText(sample.volts[i]) : "");
        if (channels[i].currentUnit != nullptr) {
            fields.push_back(ok ? voltsText(sample.current[i]) : "");
        }
        const std::string& mark = sample.marks[i];
        fields.push_back(!ok ? sample.errors[i] : mark.empty() ? "ok" : mark);
    }
    return fields;
}

std::string joinedRow(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        line += (i == 0 ? "" : ",") + csvField(fields[i]);
    }
    return line;
}

std::vector<MonitorChannel> channelsOf(Session& s) {
    std::vector<MonitorChannel> channels;
    for (size_t dev = 0; dev < s.devices().size(); ++dev) {
        const Device& d = s.devices()[dev];
        for (uint32_t src = 0; src < d.sources; ++src) {
            const std::string name = d.address + "/src" + std::to_string(src);
            channels.push_back(
                {dev, src, d.address, name, traits(d.kind).label, traits(d.kind).currentUnit});
        }
    }
    return channels;
}

}  // namespace

std::string checkMonitor(Session& s, const MonitorOptions& o) {
    if (o.csvPath.empty() || !o.append || !plat::fileExists(o.csvPath)) {
        return "";
    }
    const std::string header = joinedRow(csvHeader(channelsOf(s)));
    const std::string found = firstLine(o.csvPath);
    if (found != header) {
        return o.csvPath + " has other columns than this monitor writes (its first line: \"" +
               found.substr(0, 200) + "\"; this run's: \"" + header.substr(0, 200) +
               "\"): --append adds only to a file of the same devices and sources";
    }
    return "";
}

int runMonitor(Session& s, const MonitorOptions& o) {
    const std::vector<MonitorChannel> channels = channelsOf(s);
    std::vector<PlotLine> lines;
    for (size_t i = 0; i < channels.size(); ++i) {
        lines.push_back({channels[i].name + " " + channels[i].kind, "V", i});
    }
    for (size_t i = 0; i < channels.size(); ++i) {
        if (channels[i].currentUnit != nullptr) {
            lines.push_back({channels[i].name, channels[i].currentUnit, i});
        }
    }
    CsvWriter csv;
    // An appended file has its header already (checked against these columns before the run).
    const bool addRows = o.append && plat::fileExists(o.csvPath);
    if (!o.csvPath.empty() &&
        (!csv.open(o.csvPath, addRows) || (!addRows && !csv.writeRow(csvHeader(channels))))) {
        return s.fail(EXIT_REFUSED, "cannot write " + o.csvPath, {{"command", "monitor"}});
    }
    const std::string svgProblem = o.svgPath.empty() ? "" : checkWritable(o.svgPath);
    if (!svgProblem.empty()) {
        return s.fail(EXIT_REFUSED, svgProblem, {{"command", "monitor"}});
    }
    std::vector<size_t> failed(channels.size(), 0);
    std::vector<bool> silent(channels.size(), false);
    std::string started;
    if (!s.json()) {
        printMonitorHeader(s.out(), channels);
    }

    AlarmWatch watch(s, o.alarms, channels);
    // Waits for a sample's time; a source ramping down after a trip steps on meanwhile.
    const auto waitFor = [&](double start, double due) {
        while (watch.stepTrips()) {
            const double next = std::min(due, steadyNow() - start + kTripLookSeconds);
            if (!waitUntil(start, next)) {
                return false;
            }
            if (next >= due) {
                return true;
            }
        }
        return waitUntil(start, due);
    };
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
        if (!waitFor(start, due)) {
            interrupted = true;
            break;
        }
        const double roundStart = steadyNow();
        MonitorSample sample;
        sample.time = roundStart - start;
        std::vector<double> values;
        sample.utc = utcNow();
        if (started.empty()) {
            started = sample.utc;
        }
        for (size_t i = 0; i < channels.size(); ++i) {
            const MonitorChannel& c = channels[i];
            const SourceReading reading = readSource(s.devices()[c.dev], c.src);
            // A failed reading is a gap in the plot, never a value.
            sample.volts.push_back(reading.ok ? reading.volts : NAN);
            sample.current.push_back(reading.ok && c.currentUnit != nullptr ? reading.current
                                                                            : NAN);
            sample.errors.push_back(reading.ok ? "" : reading.error);
            values.push_back(sample.volts.back());
            if (!reading.ok) {
                ++failed[i];
            }
            // A source that stops answering is an alarm, said by the watch.
            if (reading.ok && silent[i]) {
                s.err() << "hvsrc-host: " << c.name << " answers again\n";
            }
            silent[i] = !reading.ok;
            sample.marks.push_back(watch.observe(i, reading, sample.time));
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
            rc = s.fail(EXIT_REFUSED, "cannot write " + o.csvPath + "; monitor stopped",
                        {{"command", "monitor"}});
            break;
        }
        lastRound = steadyNow() - roundStart;
    }
    csv.close();
    watch.finishTrips();
    if (interrupted) {
        s.err() << "hvsrc-host: interrupted after " << series.samples() << " sample"
                << (series.samples() == 1 ? "" : "s") << "\n";
    }
    // The closing summary: failed readings per source, when there were any.
    nlohmann::json failures = nlohmann::json::object();
    for (size_t i = 0; i < channels.size(); ++i) {
        if (failed[i] > 0) {
            s.err() << "hvsrc-host: " << channels[i].name << ": " << failed[i] << " of "
                    << series.samples() << " readings failed\n";
            failures[channels[i].name] = failed[i];
        }
    }
    watch.summary();
    if (s.json()) {
        emitJson(s.out(), {{"command", "monitor"},
                           {"event", "end"},
                           {"samples", series.samples()},
                           {"failed_readings", failures},
                           {"alarms", watch.alarmsJson()},
                           {"started_utc", started}});
    }
    if (!o.csvPath.empty()) {
        s.err() << "hvsrc-host: wrote " << o.csvPath << "\n";
    }
    if (!o.svgPath.empty()) {
        if (!writeTextFile(o.svgPath, monitorSvg(series, lines, started))) {
            return s.fail(EXIT_REFUSED, "cannot write " + o.svgPath, {{"command", "monitor"}});
        }
        s.err() << "hvsrc-host: wrote " << o.svgPath << "\n";
    }
    if (interrupted) {
        return EXIT_INTERRUPTED;
    }
    const bool anyFailed =
        std::any_of(failed.begin(), failed.end(), [](size_t n) { return n > 0; });
    if (rc == EXIT_OK && watch.any()) {
        return EXIT_ALARM;
    }
    return rc == EXIT_OK && anyFailed ? EXIT_REFUSED : rc;
}

}  // namespace host
