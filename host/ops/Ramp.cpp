// ramp: moves sources to a voltage in steps at a rate, reading voltage and current back after
// each step, then waits until the outputs are where they were sent and says where they are.
// Going up (away from 0 V), a refusal, a failed exchange or a reading that moves the wrong way
// stops every source where it is. Going down toward 0 V nothing is abandoned: a rising reading
// is a warning, and a source that fails or refuses is reported while the others go on down.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "cli/HostPlatform.h"
#include "ops/Alarms.h"
#include "ops/Commands.h"
#include "ops/Sources.h"
#include "output/Json.h"
#include "output/Output.h"

namespace host {

namespace {

// A reading may move against the ramp by this much (or by two steps, when that is more) before
// it counts: the readings' own resolution and noise.
constexpr double kMinAgainst = 2.0;
// The default settle time-out is the ramp's own duration, and never less than this.
constexpr double kMinSettleSeconds = 30.0;
// How often the outputs are read while they settle.
constexpr double kSettleLookSeconds = 0.2;

// Tripped: the source's current reached the trip; the alarm watch takes it down to 0 V.
enum class State { Going, Abandoned, Tripped };

struct RampSource {
    size_t dev;
    uint32_t src;
    Device* device;
    int64_t at;      // steps set now (where the ramp starts when nothing was set)
    int64_t target;  // steps
    bool known;      // `at` is a voltage set in this run, not a reading
    bool moved;      // a step was set
    bool haveBest;   // `best` holds a reading
    double best;     // the reading furthest toward the target so far
    int64_t step;    // steps a step: at least one, never more than --step when it can be
    int direction;   // +1 up, -1 down, 0 already there
    State state;
    bool warned;  // a rising reading was said
    bool silent;  // the last reading failed (said once until one succeeds)
    SourceReading last;
};

std::string name(const RampSource& r) {
    return "device " + std::to_string(r.dev) + " source " + std::to_string(r.src);
}

double voltsOf(const RampSource& r, int64_t steps) {
    return static_cast<double>(steps) / traits(r.device->kind).stepsPerVolt;
}

// Where the ramp of one source starts: the voltage set in this run, else the output as measured.
RampSource prepare(Session& s, size_t dev, uint32_t src, double volts, double stepVolts) {
    Device& d = s.devices()[dev];
    const int per = traits(d.kind).stepsPerVolt;
    RampSource r{dev,   src,          &d,    0,     sentSteps(d.kind, volts),
                 false, false,        false, 0.0,   1,
                 0,     State::Going, false, false, {}};
    r.last = readSource(d, src);
    r.haveBest = r.last.ok;
    r.best = r.last.volts;
    const SetRecord& record = d.set[src];
    r.known = record.via != SetRecord::Via::Nothing;
    const double from = r.known ? record.volts : r.last.ok ? r.last.volts : 0.0;
    r.at = static_cast<int64_t>(std::llround(from * per));
    r.step = std::max<int64_t>(1, static_cast<int64_t>(stepVolts * per + 1e-9));
    r.direction = r.target > r.at ? 1 : r.target < r.at ? -1 : 0;
    return r;
}

bool pending(const RampSource& r) {
    // A source that was never set gets its target set once, even when it reads as there.
    return r.state == State::Going && (r.at != r.target || !(r.known || r.moved));
}

// The ramp brings every source closer to 0 V without crossing it.
bool towardZero(const std::vector<RampSource>& sources) {
    return std::all_of(sources.begin(), sources.end(), [](const RampSource& r) {
        return std::llabs(r.target) <= std::llabs(r.at) &&
               (r.target == 0 || (r.target > 0) == (r.at > 0));
    });
}

std::string readingText(const RampSource& r, const SourceReading& reading) {
    if (!reading.ok) {
        return "no answer: " + reading.error;
    }
    std::string text = fixed(reading.volts, 1) + " V";
    const char* unit = traits(r.device->kind).currentUnit;
    if (unit != nullptr) {
        text += ", " + fixed(reading.current, 3) + " " + unit;
    }
    return text;
}

nlohmann::json readingJson(const RampSource& r, const SourceReading& reading) {
    const char* unit = traits(r.device->kind).currentUnit;
    nlohmann::json object = {
        {"command", "ramp"},
        {"dev", r.dev},
        {"address", r.device->address},
        {"src", r.src},
        {"volts", reading.ok ? nlohmann::json(reading.volts) : nlohmann::json(nullptr)},
        {"current",
         reading.ok && unit != nullptr ? nlohmann::json(reading.current) : nlohmann::json(nullptr)},
        {"current_unit", unit != nullptr ? nlohmann::json(unit) : nlohmann::json(nullptr)},
        {"time_utc", utcNow()}};
    if (!reading.ok) {
        object["error"] = reading.error;
    }
    return object;
}

void report(Session& s, const std::vector<RampSource>& sources, const char* what) {
    for (const RampSource& r : sources) {
        if (r.state == State::Tripped) {
            continue;
        }
        s.text() << what << ": " << name(r) << " left at ";
        if (r.moved || r.known) {
            s.text() << voltsText(voltsOf(r, r.at)) << " V set\n";
        } else if (r.last.ok) {
            s.text() << "its voltage before the ramp (nothing set; it read "
                     << voltsText(r.last.volts) << " V)\n";
        } else {
            s.text() << "its voltage before the ramp (nothing set)\n";
        }
    }
}

// A failed or refused step. Going down, the source is left and the others go on; going up,
// the whole ramp stops. True when the ramp goes on.
bool stepFailed(Session& s, std::vector<RampSource>& sources, RampSource& r, int64_t next,
                const SetOutcome& outcome, bool down) {
    nlohmann::json context = {{"command", "ramp"},
                              {"dev", r.dev},
                              {"address", r.device->address},
                              {"src", r.src},
                              {"set_volts", voltsOf(r, next)}};
    s.fail(EXIT_REFUSED,
           name(r) + " " + outcome.word() + " " + voltsText(voltsOf(r, next)) + " V (" +
               std::to_string(outcome.rc) + "): " + outcome.reason +
               (down ? "; the other sources go on down" : ""),
           context);
    r.state = State::Abandoned;
    if (!down) {
        report(s, sources, "stopped");
    }
    return down;
}

// Reads a source after a step; going up, a reading against the ramp or none at all stops it.
bool checkReading(Session& s, std::vector<RampSource>& sources, RampSource& r, bool down,
                  double against) {
    if (!r.last.ok) {
        if (!r.silent) {
            s.err() << "hvsrc-host: " << name(r) << " stopped answering: " << r.last.error << "\n";
        }
        r.silent = true;
        if (!down) {
            report(s, sources, "stopped");
            return false;
        }
        return true;
    }
    if (r.silent) {
        s.err() << "hvsrc-host: " << name(r) << " answers again\n";
        r.silent = false;
    }
    const double moved = r.haveBest ? (r.best - r.last.volts) * r.direction : -1.0;
    if (r.direction != 0 && moved > against && !r.warned) {
        s.err() << "hvsrc-host: " << name(r) << ": the reading went from " << fixed(r.best, 1)
                << " V to " << fixed(r.last.volts, 1) << " V, "
                << (r.direction > 0 ? "down while ramping up" : "up while ramping down")
                << " (more than " << voltsText(against) << " V)" << (down ? "; going on down" : "")
                << "\n";
        if (!down) {
            report(s, sources, "stopped");
            return false;
        }
        // Said once for the source.
        r.warned = true;
        return true;
    }
    if (moved < 0.0) {
        r.best = r.last.volts;
        r.haveBest = true;
    }
    return true;
}

// Waits until every source left going reads within `tolerance` of its target, or `timeout`
// seconds pass; says where each ended. False when a source did not get there; `stopped` when
// a stop came first.
// With a trip, every source is read at least `looks` times, so a current at the trip on the
// last step is seen on as many readings as the trip needs.
bool settle(Session& s, std::vector<RampSource>& sources, double tolerance, double timeout,
            AlarmWatch* watch, size_t looks, bool& stopped) {
    std::vector<bool> there(sources.size(), false);
    const double start = steadyNow();
    for (size_t look = 0;; ++look) {
        bool all = true;
        for (size_t i = 0; i < sources.size(); ++i) {
            RampSource& r = sources[i];
            if (r.state != State::Going || (there[i] && watch == nullptr)) {
                continue;
            }
            r.last = readSource(*r.device, r.src);
            if (watch != nullptr && r.last.ok &&
                watch->observe(i, r.last, steadyNow() - start) == "trip") {
                r.state = State::Tripped;
                continue;
            }
            there[i] = r.last.ok && std::fabs(r.last.volts - voltsOf(r, r.target)) <= tolerance;
            all = all && there[i];
        }
        if ((all && (watch == nullptr || look + 1 >= looks)) || steadyNow() - start >= timeout) {
            break;
        }
        if (!waitUntil(start, kSettleLookSeconds * static_cast<double>(look + 1))) {
            stopped = true;
            return false;
        }
    }
    const double waited = steadyNow() - start;
    bool ok = true;
    for (size_t i = 0; i < sources.size(); ++i) {
        RampSource& r = sources[i];
        if (r.state == State::Tripped) {
            ok = false;
            continue;  // the trip's own messages say where it goes
        }
        if (r.state != State::Going) {
            ok = false;
            const SourceReading now = readSource(*r.device, r.src);
            s.text() << name(r) << ": "
                     << (r.moved || r.known ? "left at " + voltsText(voltsOf(r, r.at)) + " V set"
                                            : std::string("not ramped"))
                     << ", " << (now.ok ? "reads " : "") << readingText(r, now) << "\n";
            continue;
        }
        nlohmann::json end = readingJson(r, r.last);
        end["event"] = "end";
        end["target_volts"] = voltsOf(r, r.target);
        end["reached"] = static_cast<bool>(there[i]);
        if (there[i]) {
            s.text() << name(r) << ": at " << readingText(r, r.last) << "\n";
        } else if (r.last.ok) {
            ok = false;
            s.text() << name(r) << ": still at " << fixed(r.last.volts, 1) << " V after "
                     << fixed(waited, waited < 10.0 ? 1 : 0) << " s (sent "
                     << voltsText(voltsOf(r, r.target)) << " V)\n";
        } else {
            ok = false;
            s.text() << name(r) << ": sent " << voltsText(voltsOf(r, r.target)) << " V, "
                     << readingText(r, r.last) << "\n";
        }
        if (s.json()) {
            emitJson(s.out(), end);
        }
    }
    return ok;
}

// The ramp itself; `watch` (when a trip is given) sees every reading after a step.
int rampSources(Session& s, const Command& c, std::vector<RampSource>& sources, AlarmWatch* watch);

}  // namespace

int runRamp(Session& s, const Command& c) {
    std::vector<RampSource> sources;
    std::vector<MonitorChannel> channels;
    for (size_t dev = 0; dev < s.devices().size(); ++dev) {
        const Device& d = s.devices()[dev];
        for (uint32_t src = 0; src < d.sources; ++src) {
            if (c.allSources || (dev == c.dev && src == c.src)) {
                channels.push_back({dev, src, d.address, d.address + "/src" + std::to_string(src),
                                    traits(d.kind).label, traits(d.kind).currentUnit});
            }
        }
    }
    AlarmWatch watch(s, c.ramp.alarms, channels);
    const bool trips = c.ramp.alarms.trip > 0.0;
    int rc = rampSources(s, c, sources, trips ? &watch : nullptr);
    // However the ramp ended, a tripped source goes all the way down.
    watch.finishTrips();
    watch.summary();
    if (s.json() && watch.any()) {
        emitJson(s.out(),
                 {{"command", "ramp"}, {"event", "alarms"}, {"alarms", watch.alarmsJson()}});
    }
    return watch.any() && (rc == EXIT_OK || rc == EXIT_REFUSED) ? EXIT_ALARM : rc;
}

namespace {

int rampSources(Session& s, const Command& c, std::vector<RampSource>& sources, AlarmWatch* watch) {
    const double stepVolts = c.ramp.step > 0.0 ? c.ramp.step : c.ramp.rate * kDefaultStepSeconds;
    const double against = std::max(kMinAgainst, 2.0 * stepVolts);
    double longestStep = 0.0, span = 0.0;
    for (size_t dev = 0; dev < s.devices().size(); ++dev) {
        for (uint32_t src = 0; src < s.devices()[dev].sources; ++src) {
            if (!c.allSources && !(dev == c.dev && src == c.src)) {
                continue;
            }
            RampSource r = prepare(s, dev, src, c.volts, stepVolts);
            if (!r.known && !r.last.ok) {
                // Where the output is cannot be known: a first step could be a jump.
                s.fail(EXIT_REFUSED,
                       name(r) + " gives no reading (" + r.last.error +
                           ") and nothing was set in this run: where it is is unknown, so it is "
                           "not ramped",
                       {{"command", "ramp"},
                        {"dev", dev},
                        {"address", r.device->address},
                        {"src", src}});
                r.state = State::Abandoned;
            }
            longestStep = std::max(longestStep, voltsOf(r, r.step));
            span = std::max(span, std::fabs(voltsOf(r, r.target) - voltsOf(r, r.at)));
            s.text() << name(r) << ": from " << voltsText(voltsOf(r, r.at)) << " V ("
                     << (r.known ? "set in this run" : "measured") << ") to "
                     << voltsText(voltsOf(r, r.target)) << " V at " << voltsText(c.ramp.rate)
                     << " V/s, " << voltsText(voltsOf(r, r.step)) << " V a step\n";
            sources.push_back(r);
        }
    }
    const bool down = towardZero(sources);
    const bool anyAbandoned = std::any_of(sources.begin(), sources.end(), [](const RampSource& r) {
        return r.state == State::Abandoned;
    });
    if (anyAbandoned && !down) {
        return EXIT_REFUSED;
    }
    // All sources step together; the largest step sets the pace, so none moves faster.
    const double interval = longestStep / c.ramp.rate;
    const double start = steadyNow();
    for (int64_t tick = 0; std::any_of(sources.begin(), sources.end(), pending); ++tick) {
        if (!waitUntil(start, interval * static_cast<double>(tick))) {
            report(s, sources, "interrupted");
            return EXIT_INTERRUPTED;
        }
        if (watch != nullptr) {
            watch->stepTrips();
        }
        for (size_t i = 0; i < sources.size(); ++i) {
            RampSource& r = sources[i];
            if (!pending(r)) {
                continue;
            }
            if (hostplat::stopRequested()) {
                report(s, sources, "interrupted");
                return EXIT_INTERRUPTED;
            }
            const int64_t next = r.at + std::clamp<int64_t>(r.target - r.at, -r.step, r.step);
            const SetOutcome outcome =
                setSource(*r.device, r.src, requestForSteps(r.device->kind, next));
            if (!outcome.ok()) {
                if (!stepFailed(s, sources, r, next, outcome, down)) {
                    return EXIT_REFUSED;
                }
                continue;
            }
            r.at = next;
            r.moved = true;
            r.device->set[r.src] = {SetRecord::Via::SetVoltage, voltsOf(r, next), ""};
            r.last = readSource(*r.device, r.src);
            s.text() << name(r) << ": " << voltsText(voltsOf(r, next)) << " V set, "
                     << (r.last.ok ? "reads " : "") << readingText(r, r.last) << "\n";
            s.text().flush();
            if (s.json()) {
                nlohmann::json step = readingJson(r, r.last);
                step["event"] = "step";
                step["set_volts"] = voltsOf(r, next);
                emitJson(s.out(), step);
                s.out().flush();
            }
            if (watch != nullptr && r.last.ok &&
                watch->observe(i, r.last, steadyNow() - start) == "trip") {
                r.state = State::Tripped;
                continue;
            }
            if (!checkReading(s, sources, r, down, against)) {
                return EXIT_REFUSED;
            }
        }
    }
    const double tolerance = settleTolerance(c.ramp.tolerance, c.volts);
    const double timeout = c.ramp.settleTimeout >= 0.0
                               ? c.ramp.settleTimeout
                               : std::max(kMinSettleSeconds, span / c.ramp.rate);
    bool stopped = false;
    const bool reached =
        settle(s, sources, tolerance, timeout, watch, c.ramp.alarms.tripCount, stopped);
    if (stopped) {
        report(s, sources, "interrupted");
        return EXIT_INTERRUPTED;
    }
    return reached ? EXIT_OK : EXIT_REFUSED;
}

}  // namespace

}  // namespace host
