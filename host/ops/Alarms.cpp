#include "ops/Alarms.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "cli/HostPlatform.h"
#include "ops/Commands.h"

namespace host {

namespace {

// The ramp after a trip steps this often.
constexpr double kTripStepSeconds = 0.2;
// ... and no step is taken sooner than this after the last one.
constexpr double kMinTripStepSeconds = 0.05;

std::string readingText(const Alarm& a) {
    if (std::isnan(a.volts)) {
        return "no reading";
    }
    std::string text = fixed(a.volts, 1) + " V";
    if (a.unit != nullptr) {
        text += ", " + fixed(a.current, 3) + " " + a.unit;
    }
    return text;
}

}  // namespace

AlarmWatch::AlarmWatch(Session& session, const AlarmOptions& options,
                       const std::vector<MonitorChannel>& channels)
    : s_(session), o_(options), channels_(channels), states_(channels.size()) {}

std::string AlarmWatch::observe(size_t i, const SourceReading& reading, double seconds) {
    const MonitorChannel& c = channels_[i];
    Device& d = s_.devices()[c.dev];
    State& st = states_[i];
    Alarm alarm{"",       c.name, reading.ok ? reading.volts : NAN, reading.current, c.currentUnit,
                utcNow(), ""};
    if (!reading.ok) {
        if (!st.lost) {
            st.lost = true;
            alarm.kind = "lost";
            alarm.detail = "stopped answering: " + reading.error;
            raise(alarm);
        }
        st.overTrip = 0;
        return st.tripped ? "trip" : "lost";
    }
    st.lost = false;
    if (st.tripped) {
        return "trip";
    }
    // The trip: the current's magnitude at or above it on enough readings in a row.
    const double amps = std::fabs(reading.current) * ampsPer(d.kind);
    if (o_.trip > 0.0 && c.currentUnit != nullptr && amps >= o_.trip * (1.0 - 1e-9)) {
        if (++st.overTrip >= o_.tripCount) {
            st.tripped = true;
            const SetRecord& record = d.set[c.src];
            st.at = record.via != SetRecord::Via::Nothing ? record.volts
                                                          : sentVoltage(d.kind, reading.volts);
            st.lastStep = steadyNow();
            alarm.kind = "trip";
            alarm.detail = "current " + currentText(amps) + " reached the trip " +
                           currentText(o_.trip) + " on " + std::to_string(st.overTrip) +
                           " readings in a row; ramping down to 0 V at " + voltsText(o_.tripRate) +
                           " V/s";
            raise(alarm);
            stepTrips();
            return "trip";
        }
    } else {
        st.overTrip = 0;
    }
    // The deviation: the output farther than allowed from the voltage set, for long enough.
    const SetRecord& record = d.set[c.src];
    const bool far = o_.deviation > 0.0 && record.via != SetRecord::Via::Nothing &&
                     std::fabs(reading.volts - record.volts) > o_.deviation;
    if (!far) {
        st.deviating = false;
        st.deviationRaised = false;
        return "";
    }
    if (!st.deviating) {
        st.deviating = true;
        st.since = seconds;
    }
    if (!st.deviationRaised && seconds - st.since >= o_.deviationAfter) {
        st.deviationRaised = true;
        alarm.kind = "deviation";
        alarm.detail = "reads " + fixed(reading.volts, 1) + " V, set " + voltsText(record.volts) +
                       " V: more than " + voltsText(o_.deviation) + " V off for " +
                       fixed(seconds - st.since, 1) + " s";
        raise(alarm);
    }
    return st.deviationRaised ? "deviation" : "";
}

bool AlarmWatch::stepTrips() {
    bool going = false;
    for (size_t i = 0; i < states_.size(); ++i) {
        State& st = states_[i];
        if (!st.tripped || st.down) {
            continue;
        }
        const MonitorChannel& c = channels_[i];
        Device& d = s_.devices()[c.dev];
        const double now = steadyNow();
        const double reach = std::max(o_.tripRate * (now - st.lastStep), 0.0);
        if (now - st.lastStep < kMinTripStepSeconds && reach < std::fabs(st.at)) {
            going = true;
            continue;  // not time for the next step yet
        }
        const double next =
            st.at > 0.0 ? std::max(0.0, st.at - reach) : std::min(0.0, st.at + reach);
        const SetOutcome outcome = setSource(d, c.src, next);
        if (!outcome.ok()) {
            st.down = true;
            s_.err() << "hvsrc-host: " << c.name << ": the ramp down after the trip "
                     << outcome.word() << " at " << voltsText(next) << " V: " << outcome.reason
                     << "; the source may still be at " << voltsText(st.at) << " V\n";
            continue;
        }
        st.at = next;
        st.lastStep = now;
        d.set[c.src] = {SetRecord::Via::SetVoltage, sentVoltage(d.kind, next), ""};
        if (next == 0.0) {
            st.down = true;
            s_.err() << "hvsrc-host: " << c.name << ": set to 0 V after the trip\n";
        } else {
            going = true;
        }
    }
    return going;
}

bool AlarmWatch::tripping() const {
    return std::any_of(states_.begin(), states_.end(),
                       [](const State& st) { return st.tripped && !st.down; });
}

void AlarmWatch::finishTrips() {
    while (tripping()) {
        std::this_thread::sleep_for(std::chrono::duration<double>(kTripStepSeconds));
        stepTrips();
    }
}

void AlarmWatch::raise(const Alarm& alarm) {
    alarms_.push_back(alarm);
    s_.err() << "hvsrc-host: ALARM " << alarm.kind << ": " << alarm.source << " " << alarm.detail;
    if (!std::isnan(alarm.volts)) {
        s_.err() << " (" << readingText(alarm) << ")";
    }
    s_.err() << "\n";
    if (o_.onAlarm.empty()) {
        return;
    }
    const std::vector<std::pair<std::string, std::string>> environment = {
        {"HVSRC_ALARM", alarm.kind},
        {"HVSRC_ALARM_SOURCE", alarm.source},
        {"HVSRC_ALARM_ADDRESS", alarm.source.substr(0, alarm.source.find('/'))},
        {"HVSRC_ALARM_VOLTS", std::isnan(alarm.volts) ? "" : fixed(alarm.volts, 1)},
        {"HVSRC_ALARM_CURRENT",
         std::isnan(alarm.volts) || alarm.unit == nullptr ? "" : fixed(alarm.current, 3)},
        {"HVSRC_ALARM_CURRENT_UNIT", alarm.unit != nullptr ? alarm.unit : ""},
        {"HVSRC_ALARM_TIME", alarm.utc},
        {"HVSRC_ALARM_TEXT", alarm.source + " " + alarm.detail}};
    std::string error;
    if (!hostplat::startCommand(o_.onAlarm, environment, error)) {
        s_.err() << "hvsrc-host: cannot start the --on-alarm command: " << error << "\n";
    }
}

void AlarmWatch::summary() const {
    if (alarms_.empty()) {
        return;
    }
    s_.err() << "hvsrc-host: " << alarms_.size() << " alarm" << (alarms_.size() == 1 ? "" : "s")
             << ":\n";
    for (const Alarm& a : alarms_) {
        s_.err() << "  " << a.utc << "  " << a.kind << "  " << a.source << "  " << readingText(a)
                 << "\n";
    }
}

nlohmann::json AlarmWatch::alarmsJson() const {
    nlohmann::json list = nlohmann::json::array();
    for (const Alarm& a : alarms_) {
        list.push_back(
            {{"kind", a.kind},
             {"source", a.source},
             {"volts", std::isnan(a.volts) ? nlohmann::json() : nlohmann::json(a.volts)},
             {"current", std::isnan(a.volts) || a.unit == nullptr ? nlohmann::json()
                                                                  : nlohmann::json(a.current)},
             {"current_unit", a.unit != nullptr ? nlohmann::json(a.unit) : nlohmann::json()},
             {"time_utc", a.utc},
             {"detail", a.detail}});
    }
    return list;
}

}  // namespace host
