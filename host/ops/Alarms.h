// The alarms of a monitor run. Each round's readings go through an AlarmWatch, which raises an
// alarm when a source stops answering, when its current reaches the trip on a number of
// consecutive readings (the source is then ramped down to 0 V at the trip rate while the others
// go on being read), and when its measured voltage stays too far from its set voltage for a
// time. Each alarm is said on the error stream, kept for the closing summary and, with
// --on-alarm, handed to a command started without waiting for it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "ops/Session.h"
#include "ops/Sources.h"
#include "output/Output.h"

namespace host {

struct Alarm {
    std::string kind;      // "trip", "deviation", "lost"
    std::string source;    // "hv:1/src0"
    double volts = 0.0;    // the reading that raised it (NaN when there is none)
    double current = 0.0;  // in `unit`
    const char* unit = nullptr;
    std::string utc;
    std::string detail;  // for people
};

class AlarmWatch {
public:
    AlarmWatch(Session& session, const AlarmOptions& options,
               const std::vector<MonitorChannel>& channels);
    AlarmWatch(const AlarmWatch&) = delete;
    AlarmWatch& operator=(const AlarmWatch&) = delete;

    // One reading of channel `i` at `seconds` since the start; the row's mark for it ("",
    // "trip", "deviation", "lost").
    std::string observe(size_t i, const SourceReading& reading, double seconds);
    // Moves every tripped source one step further down; true while any is still on its way.
    bool stepTrips();
    bool tripping() const;
    // Brings every tripped source down to 0 V, also after a stop: a trip is never left halfway.
    void finishTrips();
    // The closing summary on the error stream; the alarms as JSON.
    void summary() const;
    nlohmann::json alarmsJson() const;
    bool any() const { return !alarms_.empty(); }

private:
    struct State {
        size_t overTrip = 0;  // consecutive readings at or above the trip
        bool tripped = false;
        bool down = false;  // the trip's ramp reached 0 V (or gave up)
        double at = 0.0;    // the trip ramp's voltage set now
        double lastStep = 0.0;
        bool lost = false;
        bool deviating = false;
        double since = 0.0;  // when the deviation began
        bool deviationRaised = false;
    };
    void raise(const Alarm& alarm);

    Session& s_;
    const AlarmOptions& o_;
    const std::vector<MonitorChannel>& channels_;
    std::vector<State> states_;
    std::vector<Alarm> alarms_;
};

}  // namespace host
