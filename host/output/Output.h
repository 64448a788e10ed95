// What the commands print, as plain records, and the printers for each output format: tables
// and lines for people (TableOutput.cpp), JSON for scripts (JsonOutput.cpp). The CSV and the SVG
// of a monitor run have files of their own (CsvWriter, SvgPlot).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace host {

struct DeviceRow {
    size_t index = 0;
    std::string address;  // "hv:1"
    std::string name;     // the device's own name ("HV Source", "BiasMod")
    std::string kind;     // "HV source", "legacy HV source", "bias module"
    uint32_t number = 0;
    std::string firmware;
    int64_t sources = 0;
    std::vector<std::pair<double, double>> limits;  // per source, volts (output's sign)
    std::vector<bool> limitsKept;                   // per source: false, the plug-in keeps none
    std::string polarityWord;                       // "POS", "NEG", "unknown"; empty: none
    std::string polarityText;                       // the same for people
};

struct ParamRow {
    std::string name;
    std::string type;  // "int16", "int32", "text"
    bool numeric = false;
    int32_t number = 0;
    std::string text;
    bool readOnly = false;
    std::string meaning;  // unit and what the value is; may be empty
};

// A source's set voltage as hvsrc-host knows it in this run.
struct SetText {
    bool known = false;
    double volts = 0.0;
    std::string via;  // "set" or the parameter name it went through
};

struct ReadingRow {
    size_t dev = 0;
    std::string address;
    uint32_t src = 0;
    bool ok = true;
    std::string error;  // !ok: why there is no reading
    double volts = 0.0;
    const char* currentUnit = nullptr;  // null: the source measures no current
    double current = 0.0;
    SetText set;
};

// One column group of a monitor run: a source, its kind and its current unit.
struct MonitorChannel {
    size_t dev = 0;
    uint32_t src = 0;
    std::string address;  // "hv:1"
    std::string name;     // "hv:1/src0"
    std::string kind;
    const char* currentUnit = nullptr;
};

struct MonitorSample {
    double time = 0.0;                // seconds since the first sample
    std::string utc;                  // wall-clock time, ISO 8601 UTC with milliseconds
    std::vector<double> volts;        // one per channel
    std::vector<double> current;      // one per channel; not used where the unit is null
    std::vector<std::string> errors;  // one per channel: empty, or why it gave no reading
    std::vector<std::string> marks;   // one per channel: an alarm ("trip", ...) or empty
};

// The wall-clock time now, "2026-12-08T12:31:15.042Z".
std::string utcNow();

// "%.*f" and "%g" of a number.
std::string fixed(double value, int decimals);

void printDevices(std::ostream& out, const std::vector<DeviceRow>& rows);
void printParams(std::ostream& out, const std::vector<ParamRow>& rows);
void printReadings(std::ostream& out, const std::vector<ReadingRow>& rows);
void printMonitorHeader(std::ostream& out, const std::vector<MonitorChannel>& channels);
void printMonitorRow(std::ostream& out, const std::vector<MonitorChannel>& channels,
                     const MonitorSample& sample);

// One JSON object a line.
void printDevicesJson(std::ostream& out, const std::vector<DeviceRow>& rows);
void printParamsJson(std::ostream& out, size_t dev, const std::vector<ParamRow>& rows);
void printReadingsJson(std::ostream& out, size_t dev, const std::vector<ReadingRow>& rows);
void printMonitorJson(std::ostream& out, const std::vector<MonitorChannel>& channels,
                      const MonitorSample& sample);

}  // namespace host
