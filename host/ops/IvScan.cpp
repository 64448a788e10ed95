// iv: a current-voltage scan of one source. It moves at the rate to FROM, then for each step up
// to TO sets the voltage, waits the settle time and until the output reads within the tolerance,
// and takes a number of readings whose mean and standard deviation make the step's row. The
// scan stops at the first reading whose current reaches the compliance, at a failed exchange
// (a lost line) and at a stop (Ctrl-C, SIGTERM); however it ends, the source is ramped to the
// --back voltage at the rate and the program says where the output is.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "cli/HostPlatform.h"
#include "ops/Commands.h"
#include "ops/Sources.h"
#include "output/Files.h"
#include "output/IvPlot.h"
#include "output/Json.h"
#include "output/Output.h"
#include "platform.h"

namespace host {

namespace {

// Moves are made in steps of what the rate covers in this time.
constexpr double kMoveStepSeconds = 0.2;
// How often the output is read while it settles.
constexpr double kSettleLookSeconds = 0.1;
// A step's output may take this long beyond its move to settle, and the ramp back at least this.
constexpr double kSettleSlackSeconds = 30.0;

// A failed set on the way back is tried again this often, for this long.
constexpr double kBackRetryPause = 0.25;
constexpr double kBackRetrySeconds = 10.0;

enum class Ending { Done, Compliance, Failed, Stopped };

// Waits `seconds`, also when a stop has come (the ramp back must not be cut short).
void pause(double seconds) {
    if (seconds > 0.0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
}

struct Scan {
    Session& s;
    Device& d;
    size_t dev;
    uint32_t src;
    const IvOptions& o;
    const char* unit;     // the source's current unit
    double ampsPerUnit;   // amperes of one unit
    double setVolts = 0;  // the voltage set now (output terms)
    std::string why;      // what ended the scan, for people
    SourceReading last;   // the latest reading
    std::string name() const {
        return "device " + std::to_string(dev) + " source " + std::to_string(src);
    }

    // Reads the source; a failed reading or a current at the compliance ends the scan.
    Ending look() {
        last = readSource(d, src);
        if (!last.ok) {
            why = name() + " stopped answering at " + voltsText(setVolts) + " V: " + last.error;
            return Ending::Failed;
        }
        const double amps = std::fabs(last.current) * ampsPerUnit;
        if (o.compliance > 0.0 && amps >= o.compliance * (1.0 - 1e-9)) {
            why = "compliance " + currentText(o.compliance) + " reached at " + voltsText(setVolts) +
                  " V: " + currentText(amps);
            return Ending::Compliance;
        }
        return Ending::Done;
    }

    // Sets one voltage; a refusal or failed exchange ends the scan.
    Ending set(double volts) {
        const SetOutcome outcome = setSource(d, src, volts);
        if (!outcome.ok()) {
            why = name() + " " + outcome.word() + " " + voltsText(volts) + " V (" +
                  std::to_string(outcome.rc) + "): " + outcome.reason;
            return Ending::Failed;
        }
        setVolts = sentVoltage(d.kind, volts);
        d.set[src] = {SetRecord::Via::SetVoltage, sentVoltage(d.kind, volts), ""};
        return Ending::Done;
    }

    // Moves to `target` at the rate, reading after each step. `watch`: readings and stops end
    // the move (false for the ramp back, which always goes on).
    Ending move(double target, bool watch) {
        const double stepVolts = o.rate * kMoveStepSeconds;
        double at = setVolts;
        double start = steadyNow();
        double retryUntil = 0.0;
        // The target is set at least once, also when the source is there already.
        for (int tick = 1;; ++tick) {
            const double next =
                target > at ? std::min(target, at + stepVolts) : std::max(target, at - stepVolts);
            const Ending done = set(next);
            if (done != Ending::Done && !watch) {
                // The way back is not given up at once: a line that comes back within the retry
                // time still brings the source back.
                if (retryUntil == 0.0) {
                    retryUntil = steadyNow() + kBackRetrySeconds;
                    s.err() << "hvsrc-host: " << why << "; trying again for "
                            << voltsText(kBackRetrySeconds) << " s\n";
                } else if (steadyNow() > retryUntil) {
                    return done;
                }
                pause(kBackRetryPause);
                start = steadyNow() - kMoveStepSeconds * tick;
                continue;
            }
            at = next;
            if (done != Ending::Done || at == target) {
                return done;
            }
            if (watch) {
                const Ending seen = look();
                if (seen != Ending::Done) {
                    return seen;
                }
                if (!waitUntil(start, kMoveStepSeconds * tick)) {
                    return Ending::Stopped;
                }
            } else {
                pause(start + kMoveStepSeconds * tick - steadyNow());
            }
        }
    }

    double toleranceAt(double volts) const { return settleTolerance(o.tolerance, volts); }
};

struct Stats {
    double mean = 0.0, spread = 0.0;
};

Stats statsOf(const std::vector<double>& values) {
    Stats st;
    if (values.empty()) {
        return st;
    }
    for (double v : values) {
        st.mean += v;
    }
    st.mean /= static_cast<double>(values.size());
    if (values.size() > 1) {
        double sum = 0.0;
        for (double v : values) {
            sum += (v - st.mean) * (v - st.mean);
        }
        st.spread = std::sqrt(sum / static_cast<double>(values.size() - 1));
    }
    return st;
}

std::string duration(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    if (total < 60) {
        return std::to_string(total) + " s";
    }
    return std::to_string(total / 60) + " min " + std::to_string(total % 60) + " s";
}

std::string pad(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : std::string(width - text.size(), ' ') + text;
}

const char* endingWord(Ending e) {
    switch (e) {
        case Ending::Done:
            return "ok";
        case Ending::Compliance:
            return "compliance";
        case Ending::Failed:
            return "failed";
        case Ending::Stopped:
            return "stopped";
    }
    return "?";
}

// The voltages of the scan: FROM, FROM + STEP, ... and TO itself when the steps miss it.
std::vector<double> targetsOf(const IvOptions& o) {
    std::vector<double> targets;
    const size_t n = static_cast<size_t>(std::floor(std::fabs((o.to - o.from) / o.step) + 1e-9));
    for (size_t k = 0; k <= n; ++k) {
        targets.push_back(o.from + o.step * static_cast<double>(k));
    }
    if (std::fabs(targets.back() - o.to) > 1e-9) {
        targets.push_back(o.to);
    }
    return targets;
}

}  // namespace

std::vector<double> ivTargets(const IvOptions& o) {
    return targetsOf(o);
}

std::string checkIv(const Device& d, const IvOptions& o) {
    if (traits(d.kind).currentUnit == nullptr) {
        return "the legacy HV source measures no current: an IV scan needs a current reading";
    }
    if (o.compliance <= 0.0) {
        return "give --compliance CURRENT (200nA, 10uA, 1.5mA): the scan stops there, the "
               "source has no current limit of its own";
    }
    return "";
}

int runIv(Session& s, const Command& c) {
    Device& d = s.devices()[c.dev];
    const IvOptions& o = c.iv;
    const char* unit = traits(d.kind).currentUnit;
    Scan scan{s, d, c.dev, c.src, o, unit, ampsPer(d.kind), 0.0, "", {}};
    const std::vector<double> targets = targetsOf(o);

    CsvWriter csv;
    if (!o.csvPath.empty() &&
        (!csv.open(o.csvPath, false) ||
         !csv.writeRow({"time_utc", "set_V", "mean_V", "std_V", std::string("mean_I_") + unit,
                        std::string("std_I_") + unit, "samples", "status"}))) {
        return s.fail(EXIT_REFUSED, "cannot write " + o.csvPath, {{"command", "iv"}});
    }
    const std::string svgProblem = o.svgPath.empty() ? "" : checkWritable(o.svgPath);
    if (!svgProblem.empty()) {
        return s.fail(EXIT_REFUSED, svgProblem, {{"command", "iv"}});
    }

    scan.last = readSource(d, c.src);
    const SetRecord& record = d.set[c.src];
    scan.setVolts = record.via != SetRecord::Via::Nothing ? record.volts
                    : scan.last.ok                        ? sentVoltage(d.kind, scan.last.volts)
                                                          : 0.0;
    const double moveSeconds = [&] {
        double volts =
            std::fabs(o.from - scan.setVolts) + std::fabs(o.to - o.from) + std::fabs(o.to - o.back);
        return volts / o.rate;
    }();
    const double estimate =
        moveSeconds + static_cast<double>(targets.size()) * (o.settle + 0.05 * o.samples);
    const std::string started = utcNow();
    s.text() << "iv: " << scan.name() << " (" << d.address << "), " << voltsText(o.from) << " V to "
             << voltsText(o.to) << " V in steps of " << voltsText(std::fabs(o.step))
             << " V: " << targets.size() << " steps of " << o.samples << " readings after "
             << voltsText(o.settle) << " s; compliance " << currentText(o.compliance)
             << "; moves at " << voltsText(o.rate) << " V/s, back to " << voltsText(o.back)
             << " V at the end; about " << duration(estimate) << "\n";
    if (s.json()) {
        emitJson(s.out(), {{"command", "iv"},
                           {"event", "start"},
                           {"dev", c.dev},
                           {"address", d.address},
                           {"src", c.src},
                           {"steps", targets.size()},
                           {"compliance_amps", o.compliance},
                           {"current_unit", unit},
                           {"started_utc", started}});
    }

    Ending ending = scan.move(o.from, true);
    std::vector<IvPoint> points;
    const double scanStart = steadyNow();
    if (ending == Ending::Done && !s.json()) {
        s.out() << "step     set V    mean V   mean I (" << unit << ")   std I (" << unit
                << ")  samples  status\n";
    }
    for (size_t k = 0; k < targets.size() && ending == Ending::Done; ++k) {
        if (hostplat::errorIsTerminal() && k > 0) {
            const double perStep = (steadyNow() - scanStart) / static_cast<double>(k);
            s.err() << "\rstep " << (k + 1) << " of " << targets.size() << ", about "
                    << duration(perStep * static_cast<double>(targets.size() - k)) << " left  ";
            s.err().flush();
        }
        const double target = targets[k];
        ending = scan.move(target, true);
        // The settle time, then until the output is within the tolerance (bounded).
        const double setAt = steadyNow();
        if (ending == Ending::Done && !waitUntil(setAt, o.settle)) {
            ending = Ending::Stopped;
        }
        const double limit = o.settle + kSettleSlackSeconds + std::fabs(o.step) / o.rate;
        for (int n = 1; ending == Ending::Done; ++n) {
            ending = scan.look();
            if (ending != Ending::Done ||
                std::fabs(scan.last.volts - scan.setVolts) <= scan.toleranceAt(scan.setVolts)) {
                break;
            }
            if (steadyNow() - setAt > limit) {
                scan.why = scan.name() + " did not settle at " + voltsText(scan.setVolts) +
                           " V: it reads " + fixed(scan.last.volts, 1) + " V after " +
                           duration(steadyNow() - setAt);
                ending = Ending::Failed;
            } else if (!waitUntil(setAt + o.settle, kSettleLookSeconds * n)) {
                ending = Ending::Stopped;
            }
        }
        std::vector<double> volts, amps;
        for (size_t n = 0; n < o.samples && ending == Ending::Done; ++n) {
            ending = scan.look();
            if (scan.last.ok) {
                volts.push_back(scan.last.volts);
                amps.push_back(scan.last.current);
            }
        }
        if (volts.empty() && ending == Ending::Compliance) {
            // The reading that reached the compliance is the step's one sample.
            volts.push_back(scan.last.volts);
            amps.push_back(scan.last.current);
        }
        if (volts.empty()) {
            break;  // nothing measured at this step: it has no row
        }
        const Stats v = statsOf(volts), i = statsOf(amps);
        const char* status = endingWord(ending);
        points.push_back({scan.setVolts, v.mean, i.mean, i.spread});
        const std::string utc = utcNow();
        if (s.json()) {
            emitJson(s.out(), {{"command", "iv"},
                               {"event", "step"},
                               {"step", k + 1},
                               {"set_volts", scan.setVolts},
                               {"mean_volts", v.mean},
                               {"std_volts", v.spread},
                               {"mean_current", i.mean},
                               {"std_current", i.spread},
                               {"current_unit", unit},
                               {"samples", volts.size()},
                               {"status", status},
                               {"time_utc", utc}});
        } else {
            s.out() << pad(std::to_string(k + 1), 4) << pad(fixed(scan.setVolts, 1), 10)
                    << pad(fixed(v.mean, 1), 10) << pad(fixed(i.mean, 3), 14)
                    << pad(fixed(i.spread, 3), 13) << pad(std::to_string(volts.size()), 9) << "  "
                    << status << "\n";
        }
        s.out().flush();
        if (csv.isOpen() &&
            !csv.writeRow({utc, voltsText(scan.setVolts), voltsText(v.mean), voltsText(v.spread),
                           voltsText(i.mean), voltsText(i.spread), std::to_string(volts.size()),
                           status})) {
            scan.why = "cannot write " + o.csvPath;
            ending = Ending::Failed;
        }
    }
    if (hostplat::errorIsTerminal()) {
        s.err() << "\r" << std::string(40, ' ') << "\r";
    }
    csv.close();
    if (ending == Ending::Stopped) {
        scan.why = "stopped by " + hostplat::stopName() + " at " + voltsText(scan.setVolts) + " V";
    }
    if (ending != Ending::Done) {
        s.err() << "hvsrc-host: " << scan.why << "; ramping back to " << voltsText(o.back)
                << " V\n";
    }

    // Back to --back whatever happened, then where the output is.
    const std::string stopWhy = scan.why;
    const Ending back = scan.move(o.back, false);
    bool reached = false;
    if (back == Ending::Done) {
        const double start = steadyNow();
        const double limit = kSettleSlackSeconds + std::fabs(scan.setVolts - o.back) / o.rate;
        for (int n = 1;; ++n) {
            scan.last = readSource(d, c.src);
            reached =
                scan.last.ok && std::fabs(scan.last.volts - o.back) <= scan.toleranceAt(o.back);
            if (reached || steadyNow() - start > limit) {
                break;
            }
            pause(start + kSettleLookSeconds * n - steadyNow());
        }
        if (reached) {
            s.text() << scan.name() << ": at " << fixed(scan.last.volts, 1) << " V, "
                     << fixed(scan.last.current, 3) << " " << unit << "\n";
        } else if (scan.last.ok) {
            s.text() << scan.name() << ": still at " << fixed(scan.last.volts, 1) << " V after "
                     << duration(steadyNow() - start) << " (sent " << voltsText(o.back) << " V)\n";
        } else {
            s.text() << scan.name() << ": sent " << voltsText(o.back)
                     << " V, no answer: " << scan.last.error << "\n";
        }
    } else {
        s.err() << "hvsrc-host: cannot ramp back: " << scan.why << "; the output may still be at "
                << voltsText(scan.setVolts) << " V set\n";
    }
    if (s.json()) {
        emitJson(
            s.out(),
            {{"command", "iv"},
             {"event", "end"},
             {"status", endingWord(ending)},
             {"reason", stopWhy},
             {"steps_done", points.size()},
             {"back_volts", o.back},
             {"reached", reached},
             {"end_volts", scan.last.ok ? nlohmann::json(scan.last.volts) : nlohmann::json()},
             {"end_current", scan.last.ok ? nlohmann::json(scan.last.current) : nlohmann::json()}});
    }
    if (!o.csvPath.empty()) {
        s.err() << "hvsrc-host: wrote " << o.csvPath << "\n";
    }
    if (!o.svgPath.empty()) {
        IvPlot plot;
        plot.title = "IV scan of " + std::string(d.dev->deviceName()) + " " + d.address +
                     " source " + std::to_string(c.src);
        plot.started = started;
        plot.unit = unit;
        plot.compliance = o.compliance / scan.ampsPerUnit;
        plot.points = points;
        plot.ending = ending == Ending::Done ? "" : stopWhy;
        if (!writeTextFile(o.svgPath, ivSvg(plot))) {
            return s.fail(EXIT_REFUSED, "cannot write " + o.svgPath, {{"command", "iv"}});
        }
        s.err() << "hvsrc-host: wrote " << o.svgPath << "\n";
    }
    switch (ending) {
        case Ending::Stopped:
            return EXIT_INTERRUPTED;
        case Ending::Failed:
            return EXIT_REFUSED;
        case Ending::Compliance:
            return reached ? EXIT_ALARM : EXIT_REFUSED;
        case Ending::Done:
            break;
    }
    return reached ? EXIT_OK : EXIT_REFUSED;
}

}  // namespace host
