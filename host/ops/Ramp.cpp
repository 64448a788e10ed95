// ramp: moves sources to a voltage in steps at a rate, reading back after each step, and stops
// where it is on a refusal, a reading that moves the wrong way, or Ctrl-C.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "ops/Commands.h"
#include "output/Output.h"
#include "platform.h"

namespace host {

namespace {

// A reading may move against the ramp by this much (or by two steps, when that is more) before
// the ramp stops: the readings' own resolution and noise.
constexpr double kMinTolerance = 2.0;

struct RampSource {
    size_t dev;
    uint32_t src;
    Device* device;
    int64_t at;      // steps set now (where the ramp starts when nothing was set)
    int64_t target;  // steps
    bool known;      // `at` is a voltage set in this run, not a reading
    bool moved;      // a step was set
    double reading;  // the reading furthest toward the target so far, as a set voltage
    int64_t step;    // steps a step: at least one, never more than --step when it can be
    int direction;   // +1 up, -1 down, 0 already there
};

std::string name(const RampSource& r) {
    return "device " + std::to_string(r.dev) + " source " + std::to_string(r.src);
}

double voltsOf(const RampSource& r, int64_t steps) {
    return static_cast<double>(steps) / traits(r.device->kind).stepsPerVolt;
}

double measure(const RampSource& r) {
    return toSetScale(r.device->kind, r.device->dev, r.device->dev->readVoltage(r.src));
}

// Where the ramp of one source starts: the voltage set in this run, else the output as measured.
RampSource prepare(Session& s, size_t dev, uint32_t src, double volts, double stepVolts) {
    Device& d = s.devices()[dev];
    const int per = traits(d.kind).stepsPerVolt;
    RampSource r{dev, src, &d, 0, sentSteps(d.kind, volts), false, false, 0.0, 1, 0};
    r.reading = measure(r);
    const SetRecord& record = d.set[src];
    r.known = record.via != SetRecord::Via::Nothing;
    const double from = r.known ? record.volts : r.reading;
    r.at = static_cast<int64_t>(std::llround(from * per));
    r.step = std::max<int64_t>(1, static_cast<int64_t>(stepVolts * per + 1e-9));
    r.direction = r.target > r.at ? 1 : r.target < r.at ? -1 : 0;
    return r;
}

bool pending(const RampSource& r) {
    // A source that was never set gets its target set once, even when it reads as there.
    return r.at != r.target || !(r.known || r.moved);
}

void report(Session& s, const std::vector<RampSource>& sources, const char* what) {
    for (const RampSource& r : sources) {
        s.text() << what << ": " << name(r) << " left at ";
        if (r.moved || r.known) {
            s.text() << voltsText(voltsOf(r, r.at)) << " V set\n";
        } else {
            s.text() << "its voltage before the ramp (nothing set; it read " << voltsText(r.reading)
                     << " V)\n";
        }
    }
}

}  // namespace

int runRamp(Session& s, const Command& c) {
    const double stepVolts = c.ramp.step > 0.0 ? c.ramp.step : c.ramp.rate * kDefaultStepSeconds;
    const double tolerance = std::max(kMinTolerance, 2.0 * stepVolts);
    std::vector<RampSource> sources;
    double longestStep = 0.0;
    for (size_t dev = 0; dev < s.devices().size(); ++dev) {
        for (uint32_t src = 0; src < s.devices()[dev].sources; ++src) {
            if (!c.allSources && !(dev == c.dev && src == c.src)) {
                continue;
            }
            const RampSource r = prepare(s, dev, src, c.volts, stepVolts);
            longestStep = std::max(longestStep, voltsOf(r, r.step));
            s.text() << name(r) << ": from " << voltsText(voltsOf(r, r.at)) << " V ("
                     << (r.known ? "set in this run" : "measured") << ") to "
                     << voltsText(voltsOf(r, r.target)) << " V at " << voltsText(c.ramp.rate)
                     << " V/s, " << voltsText(voltsOf(r, r.step)) << " V a step\n";
            sources.push_back(r);
        }
    }
    // All sources step together; the largest step sets the pace, so none moves faster.
    const double interval = longestStep / c.ramp.rate;
    const double start = steadyNow();
    for (int64_t tick = 0; std::any_of(sources.begin(), sources.end(), pending); ++tick) {
        if (!waitUntil(start, interval * static_cast<double>(tick))) {
            report(s, sources, "interrupted");
            return EXIT_INTERRUPTED;
        }
        for (RampSource& r : sources) {
            if (!pending(r)) {
                continue;
            }
            if (plat::interruptRequested()) {
                report(s, sources, "interrupted");
                return EXIT_INTERRUPTED;
            }
            const int64_t next = r.at + std::clamp<int64_t>(r.target - r.at, -r.step, r.step);
            jd::IHwDevHvSrc* dev = r.device->dev;
            const int rc = dev->setVoltage(r.src, requestForSteps(r.device->kind, next));
            if (rc != 0) {
                s.err() << "hvsrc-host: " << name(r) << " refused " << voltsText(voltsOf(r, next))
                        << " V (" << rc << "): " << dev->lastError() << "\n";
                report(s, sources, "stopped");
                return EXIT_REFUSED;
            }
            r.at = next;
            r.moved = true;
            r.device->set[r.src] = {SetRecord::Via::SetVoltage, voltsOf(r, next), ""};
            const double reading = measure(r);
            s.text() << name(r) << ": " << voltsText(voltsOf(r, next)) << " V set, reads "
                     << fixed(reading, 1) << " V\n";
            s.text().flush();
            // Against the ramp since its best reading: down while going up, or up while going
            // down; a slow drift counts as much as a jump.
            const double against = (r.reading - reading) * r.direction;
            if (r.direction != 0 && against > tolerance) {
                s.err() << "hvsrc-host: " << name(r) << ": the reading went from "
                        << fixed(r.reading, 1) << " V to " << fixed(reading, 1) << " V, "
                        << (r.direction > 0 ? "down while ramping up" : "up while ramping down")
                        << " (more than " << voltsText(tolerance) << " V)\n";
                report(s, sources, "stopped");
                return EXIT_REFUSED;
            }
            if (against < 0.0) {
                r.reading = reading;
            }
        }
    }
    for (const RampSource& r : sources) {
        s.text() << name(r) << ": at " << voltsText(voltsOf(r, r.target)) << " V\n";
    }
    return EXIT_OK;
}

}  // namespace host
